// Console watchdog supervision: watchdog files, the two liveness rules, the
// warning launches and the suspension that follows them.
#ifndef QZA_WATCHDOG_WATCHDOG_H_
#define QZA_WATCHDOG_WATCHDOG_H_

#include <atomic>
#include <cstdint>

#include "settings/Settings.h"

// Console supervision. The flag tables and the last-seen times are touched by
// the main thread only; SupervisionActive is shared with the suspend thread.
// The configuration fills the tables once, before the watch loop starts.
struct Supervision {
  int NeedOneConsole[kConsoleCount] = {};
  int NeedAllConsole[kConsoleCount] = {};
  // Seconds of the monotonic clock that counts suspended time, so that a
  // step of the wall clock neither hides a silent console nor warns falsely.
  int64_t ConsoleLastSeen[kConsoleCount] = {};
  std::atomic<int> SupervisionActive{0};
};

extern Supervision g_supervision;

// Deletes the watchdog file at `path`, reports it, and records the console of
// `console` (the sixth character of its name) as seen now. A file that cannot
// be deleted is reported and counted once; the same file found again at later
// passes is no new sign of life, so a dead console whose last file is stuck
// is still warned about. A character that is no digit records nothing.
void ClearWatchdogFile(const Settings& settings, const char* path, char console);

// Forgets the undeletable watchdog files (tests start afresh).
void ResetWatchdogState();

// Applies the need-all rule, then (when it warned of nothing) the need-one
// rule (a console is silent after settings.WaitForSec seconds), and suspends
// supervision for settings.SleepAfterError seconds after a warning that
// started. A warning program that cannot be started is reported and
// supervision goes on.
void CheckConsoles(const Settings& settings);

// The body of the suspend thread: clears SupervisionActive, sleeps `seconds`,
// sets it again.
void SuspendSupervision(int seconds);

#endif  // QZA_WATCHDOG_WATCHDOG_H_
