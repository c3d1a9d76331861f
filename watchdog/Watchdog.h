// Console watchdog supervision: watchdog files, the two liveness rules, the
// warning launches and the suspension that follows them.
#ifndef QZA_WATCHDOG_WATCHDOG_H_
#define QZA_WATCHDOG_WATCHDOG_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>

#include "platform/FileSystem.h"
#include "settings/Settings.h"
#include "settings/SpoolHandler.h"

namespace qza {

// What supervision knows of the consoles. The flag tables and the last-seen
// times are touched by the thread of the watch loop only; SupervisionActive
// is shared with the suspend thread.
struct Supervision {
  int NeedOneConsole[kConsoleCount] = {};
  int NeedAllConsole[kConsoleCount] = {};
  // Seconds of the monotonic clock that counts suspended time, so that a
  // step of the wall clock neither hides a silent console nor warns falsely.
  int64_t ConsoleLastSeen[kConsoleCount] = {};
  std::atomic<int> SupervisionActive{0};
};

// Parses a console list as strtok(" ,") and atoi would: each token from 1 to 9
// sets its flag; any other token is skipped. Returns the number of flags set.
int ParseConsoleList(const char* text, int flags[kConsoleCount]);

// The handler of watchdog files and the supervision of consoles. Keeps a
// reference to `settings` and `clock`, which must outlive it.
class WatchdogHandler : public SpoolHandler {
 public:
  // Parses the two console lists of the settings (supervision runs when
  // either names a console; the need-one rule applies only when its own list
  // names one) and marks every console as seen now.
  explicit WatchdogHandler(const Settings& settings,
                           const HandlerClock& clock = HandlerClock::System());
  WatchdogHandler(const WatchdogHandler&) = delete;
  WatchdogHandler& operator=(const WatchdogHandler&) = delete;

  // Deletes the watchdog file at `path`, reports it, and records the console
  // of `console` (the sixth character of its name) as seen now. A file that
  // cannot be deleted is reported and counted once; the same file found again
  // at later passes is no new sign of life, so a dead console whose last file
  // is stuck is still warned about. A character that is no digit records
  // nothing.
  void ClearWatchdogFile(const char* path, char console);

  // Applies the need-all rule, then (when it warned of nothing) the need-one
  // rule (a console is silent after WaitForSec seconds), and suspends
  // supervision for SleepAfterError seconds after a warning that started. A
  // warning program that cannot be started is reported and supervision goes
  // on.
  void CheckConsoles();

  // What supervision knows now (the suspend thread may change
  // SupervisionActive at any time).
  Supervision& supervision() { return *supervision_; }

  // SpoolHandler: the console is the sixth character of the name; after each
  // pass the consoles are checked while supervision is active.
  void Handle(const char* path, const char* name) override;
  void AfterPass() override;

 private:
  void RecordSignOfLife(char console);
  bool CountedBefore(const char* path);
  void StartSuspension(int seconds);
  int32_t Age(int64_t now, int console) const;

  const Settings& settings_;
  const HandlerClock& clock_;
  // Shared with a suspend thread, which may outlive the handler.
  std::shared_ptr<Supervision> supervision_;
  // Watchdog files that could not be deleted, by device, inode, size and
  // modification time: each counts as a sign of life once, not at every pass.
  std::set<platform::FileIdentity> undeletable_;
};

}  // namespace qza

#endif  // QZA_WATCHDOG_WATCHDOG_H_
