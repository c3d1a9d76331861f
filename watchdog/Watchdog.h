// Console watchdog supervision: watchdog files, the two liveness rules, the
// warning launches and the suspension that follows them.
#ifndef QZA_WATCHDOG_WATCHDOG_H_
#define QZA_WATCHDOG_WATCHDOG_H_

#include <cstdint>

// Deletes the watchdog file at `path`, reports it, and records the console of
// `console` (the sixth character of its name) as seen now, also when the
// deletion failed. A character that is no digit records nothing.
void ClearWatchdogFile(const char* path, char console);

// Applies the need-all rule, then (when it launched nothing) the need-one
// rule, and suspends supervision after a warning launch.
void CheckConsoles();

// The body of the suspend thread: clears SupervisionActive, sleeps
// SleepAfterError seconds, sets it again.
void SuspendSupervision();

#endif  // QZA_WATCHDOG_WATCHDOG_H_
