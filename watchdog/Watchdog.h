// Console watchdog supervision: watchdog files, the two liveness rules, the
// warning launches and the suspension that follows them.
#ifndef QZA_WATCHDOG_WATCHDOG_H_
#define QZA_WATCHDOG_WATCHDOG_H_

#include <cstdint>

// Deletes the watchdog file at `path`, reports it, and records the console of
// `console` (the sixth character of its name) as seen now. A file that cannot
// be deleted is reported and counted once; the same file found again at later
// passes is no new sign of life, so a dead console whose last file is stuck
// is still warned about. A character that is no digit records nothing.
void ClearWatchdogFile(const char* path, char console);

// Forgets the undeletable watchdog files (tests start afresh).
void ResetWatchdogState();

// Applies the need-all rule, then (when it warned of nothing) the need-one
// rule, and suspends supervision after a warning that started. A warning
// program that cannot be started is reported and supervision goes on.
void CheckConsoles();

// The body of the suspend thread: clears SupervisionActive, sleeps
// SleepAfterError seconds, sets it again.
void SuspendSupervision();

#endif  // QZA_WATCHDOG_WATCHDOG_H_
