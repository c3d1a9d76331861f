// Readiness and liveness reports to systemd (sd_notify).
//
// Under a unit of Type=notify, systemd hands the service a datagram socket in
// NOTIFY_SOCKET and, when the unit sets WatchdogSec=, the interval in
// WATCHDOG_USEC for the process in WATCHDOG_PID. Without NOTIFY_SOCKET (run by
// hand, or a build without libsystemd) every call here does nothing. A report
// that cannot be sent is written to standard error; the service goes on, since
// systemd then acts on the missing report itself (start time-out, watchdog).
#ifndef QZA_PLATFORM_SYSTEMDNOTIFY_H_
#define QZA_PLATFORM_SYSTEMDNOTIFY_H_

#include <cstdint>

namespace platform {

// Reports that start-up is complete (READY=1): call once, when "Ready" is printed.
void NotifyReady();

// Reports that the service is ending (STOPPING=1), before it finishes the file in hand.
void NotifyStopping();

// Milliseconds between two watchdog pings: half the interval systemd asked for
// when it asked this process for a watchdog (at least 1), else 0.
uint32_t WatchdogPingMs();

// Reports that the watch loop is still turning (WATCHDOG=1).
void NotifyWatchdog();

}  // namespace platform

#endif  // QZA_PLATFORM_SYSTEMDNOTIFY_H_
