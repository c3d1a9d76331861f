// Fax job files: four lines that become the command line of QZ_DOFAX.BAT.
#ifndef QZA_FAX_FAX_JOB_H_
#define QZA_FAX_FAX_JOB_H_

#include "settings/Settings.h"

// Handles the fax job file at `path` (JobPath joined with the found name).
// The job is deleted once its script has started; a job whose script did not
// start stays for a later pass, and a launched job that cannot be deleted is
// remembered and never launched again while the service runs. The launch is
// logged in the month's qzf log in settings.AckPath.
void ProcessFaxJob(const Settings& settings, const char* path);

// Forgets the launched jobs that could not be deleted (tests start afresh).
void ResetFaxState();

#endif  // QZA_FAX_FAX_JOB_H_
