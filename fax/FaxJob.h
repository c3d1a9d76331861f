// Fax job files: four lines that become the command line of QZ_DOFAX.BAT.
#ifndef QZA_FAX_FAX_JOB_H_
#define QZA_FAX_FAX_JOB_H_

// Handles the fax job file at `path` (JobPath joined with the found name).
void ProcessFaxJob(const char* path);

#endif  // QZA_FAX_FAX_JOB_H_
