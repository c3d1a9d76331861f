// Readiness and liveness reports to systemd (sd_notify).
//
// Under a unit of Type=notify, systemd hands the service a datagram socket in
// NOTIFY_SOCKET and, when the unit sets WatchdogSec=, the interval in
// WATCHDOG_USEC for the process in WATCHDOG_PID. Without NOTIFY_SOCKET (run by
// hand, or a build without libsystemd) every call here does nothing. A report
// that cannot be sent is written to standard error; the service goes on, since
// systemd then acts on the missing report itself (start time-out, watchdog).
//
// A supervisor without systemd (a cluster's resource agent) gets the same
// liveness from a heartbeat file: when QZA_WDIR_HEARTBEAT names a file, the
// readiness report and every watchdog ping set its modification time to now,
// creating it (never through a link) where it is missing. QZA_WDIR_HEARTBEAT_MS
// sets the interval between two pings (default 10000, from 1 to 3600000; any
// other value gives the default). A supervisor that finds the file older than
// a few intervals knows that the watch loop has stopped turning. A heartbeat
// that cannot be written is reported on standard error when it starts failing
// and again when it works again, not at every ping.
//
// A Windows service (platform/Service.h) also reports its readiness and its
// stop to the service control manager through NotifyReady and NotifyStopping.
#ifndef QZA_PLATFORM_SYSTEMDNOTIFY_H_
#define QZA_PLATFORM_SYSTEMDNOTIFY_H_

#include <cstdint>

#include "platform/Status.h"

namespace platform {

// Reports that start-up is complete (READY=1) and beats the heartbeat: call
// once, when "Ready" is printed.
void NotifyReady();

// Reports that the service is ending (STOPPING=1), before it finishes the file in hand.
void NotifyStopping();

// Milliseconds between two watchdog pings: the shorter of half the interval
// systemd asked for when it asked this process for a watchdog (at least 1)
// and the heartbeat's interval when a heartbeat file is named; 0 when neither
// wants pings.
uint32_t WatchdogPingMs();

// Reports that the watch loop is still turning (WATCHDOG=1) and beats the
// heartbeat.
void NotifyWatchdog();

namespace backend {
// One per system, under the calls above.
// Sends one state line to systemd when it runs the service; a failure is
// reported on standard error only, as the account must not change.
void SendToSystemd(const char* state);
// Half the watchdog interval that systemd asked of this process (at least 1),
// or 0 when it asked for none or the system has no systemd.
uint32_t SystemdPingMs();
// Sets the modification time of the heartbeat file at `path` to now, creating
// it where it is missing, never through a link. Fails ("touch") when it
// cannot; the failure line shows the reason.
Status TouchHeartbeat(const char* path);
}  // namespace backend

}  // namespace platform

#endif  // QZA_PLATFORM_SYSTEMDNOTIFY_H_
