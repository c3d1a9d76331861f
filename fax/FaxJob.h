// Fax job files: four lines that become the command line of QZ_DOFAX.BAT.
#ifndef QZA_FAX_FAX_JOB_H_
#define QZA_FAX_FAX_JOB_H_

#include "settings/Settings.h"

// Handles the fax job file at `path` (JobPath joined with the found name).
// The job is deleted once its script has started; a job whose script did not
// start stays for a later pass, and a launched job that cannot be deleted is
// remembered, also across restarts, and never launched again. A launched job
// that another program moves to another name before it is deleted is
// recognised there while the service runs, and deleted instead of launched
// again. The launch is logged in the month's qzf log in settings.AckPath.
void ProcessFaxJob(const Settings& settings, const char* path);

// The journal of launched jobs that could not be deleted, in the working
// directory.
constexpr char kFaxJournalName[] = "qza_wdir.faxjournal";

// Opens that journal and takes over what an earlier run left in it. Prints a
// line when it cannot be used. Call once before the first job.
void OpenFaxJournal();

// Forgets the launched jobs that could not be deleted (tests start afresh).
void ResetFaxState();

#endif  // QZA_FAX_FAX_JOB_H_
