// Fax job files: four lines that become the command line of QZ_DOFAX.BAT.
#ifndef QZA_FAX_FAX_JOB_H_
#define QZA_FAX_FAX_JOB_H_

#include "settings/Settings.h"

#include <memory>

#include "settings/SpoolHandler.h"

// The journal of launched jobs that could not be deleted, in the working
// directory.
constexpr char kFaxJournalName[] = "qza_wdir.faxjournal";

// The handler of fax job files. It owns the jobs it launched that could not
// be deleted, and its journal. Keeps a reference to `settings`, which must
// outlive it.
class FaxHandler : public SpoolHandler {
 public:
  explicit FaxHandler(const Settings& settings,
                      const HandlerClock& clock = HandlerClock::System());
  ~FaxHandler() override;
  FaxHandler(const FaxHandler&) = delete;
  FaxHandler& operator=(const FaxHandler&) = delete;

  // Opens the journal and takes over what an earlier run left in it. Prints
  // a line when it cannot be used. Call once before the first job.
  void OpenJournal();

  // Handles the fax job file at `path` (JobPath joined with the found name).
  // The job is deleted once its script has started; a job whose script did
  // not start stays for a later pass, and a launched job that cannot be
  // deleted is remembered, also across restarts, and never launched again. A
  // launched job that another program moves to another name before it is
  // deleted is recognised there while the service runs, and deleted instead
  // of launched again. The launch is logged in the month's qzf log in
  // settings.AckPath.
  void ProcessFaxJob(const char* path);

  void Handle(const char* path, const char* name) override;

  struct State;

 private:
  const Settings& settings_;
  const HandlerClock& clock_;
  std::unique_ptr<State> state_;
};

#endif  // QZA_FAX_FAX_JOB_H_
