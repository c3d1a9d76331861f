// Process set-up at start and the stop request of SIGTERM, SIGINT and SIGHUP.
//
// PrepareProcess runs first thing in main, before anything is opened: it makes
// sure descriptors 0, 1 and 2 exist (on /dev/null where missing), so that no
// descriptor the service opens later can take one of those numbers and leak
// into children as their output; it ignores the signals that must not end the
// service; it raises the soft descriptor limit to the hard one; and it starts
// the console writer, so a stalled reader of standard output never holds up
// the service.
//
// The first SIGTERM, SIGINT or SIGHUP only records a stop request and wakes
// the change notification's wait (through an eventfd that the handler writes,
// polled beside inotify, so it does not matter which thread the kernel picks
// for the signal); the service then finishes the file in hand and ends. A
// second one of these signals ends the process at once, by that signal.
#ifndef QZA_PLATFORM_STARTUP_H_
#define QZA_PLATFORM_STARTUP_H_

#include "platform/Status.h"

namespace platform {

// Prepares the process as described above. Fails ("open") when a missing
// standard descriptor could not be opened on /dev/null: the service must not
// go on then. Failures of the other steps are not fatal and are ignored (the
// limit stays as it was; the console is written directly).
Status PrepareProcess();

// Installs the handlers of SIGTERM, SIGINT and SIGHUP. Fails ("signal") when
// the eventfd or a handler cannot be set up (the signals then keep their
// earlier dispositions; on Windows: the stop event or the console's control
// handler). A second call does nothing and succeeds.
Status InstallStopHandlers();

// True once a stop signal has arrived (or RequestStop ran).
bool StopRequested();

// Records a stop request and wakes the waits, as the first signal does.
// Async-signal-safe.
void RequestStop();

// Forgets the stop request, so that later waits wait again. Meant for tests.
void ResetStopRequest();

// A descriptor that becomes readable, and stays readable, once a stop is
// requested; -1 before InstallStopHandlers. Only the platform layer polls it.
int StopDescriptor();

}  // namespace platform

#endif  // QZA_PLATFORM_STARTUP_H_
