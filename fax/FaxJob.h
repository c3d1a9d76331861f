// Fax job files: four lines that become the command line of QZ_DOFAX.BAT.
#ifndef QZA_FAX_FAX_JOB_H_
#define QZA_FAX_FAX_JOB_H_

#include "settings/Settings.h"

#include <memory>

#include "settings/ServiceMetrics.h"
#include "settings/SpoolHandler.h"

namespace qza {

class LaunchLedger;

// The handler of fax job files. Before each launch the job is written to the
// launch ledger it shares with the alarm handler, and cleared once the job is
// deleted: after a crash in between, the job is faxed again and said to be a
// possible repeat. Keeps references to `settings` and `ledger`, which must
// outlive it.
class FaxHandler : public SpoolHandler {
 public:
  // `metrics`, when given, counts launches, failures and refusals.
  FaxHandler(const Settings& settings, LaunchLedger& ledger,
             const HandlerClock& clock = HandlerClock::System(),
             ServiceMetrics* metrics = nullptr);
  ~FaxHandler() override;
  FaxHandler(const FaxHandler&) = delete;
  FaxHandler& operator=(const FaxHandler&) = delete;

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

}  // namespace qza

#endif  // QZA_FAX_FAX_JOB_H_
