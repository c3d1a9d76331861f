#include "platform/SystemdNotify.h"

#include <cstdio>
#include <cstring>

#if QZA_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace platform {
namespace {

// Sends one state line; a failure is reported on standard error only, as the
// account on standard output must not change.
void Send([[maybe_unused]] const char* state) {
#if QZA_HAVE_LIBSYSTEMD
  const int result = sd_notify(0, state);
  if (result < 0) {
    std::fprintf(stderr, "qza_wdir: cannot report %s to systemd: %s\n", state,
                 std::strerror(-result));
  }
#endif
}

}  // namespace

void NotifyReady() { Send("READY=1"); }

void NotifyStopping() { Send("STOPPING=1"); }

void NotifyWatchdog() { Send("WATCHDOG=1"); }

uint32_t WatchdogPingMs() {
#if QZA_HAVE_LIBSYSTEMD
  uint64_t interval_us = 0;
  if (sd_watchdog_enabled(0, &interval_us) <= 0) return 0;  // not asked, or malformed
  const uint64_t half_ms = interval_us / 2000;
  if (half_ms == 0) return 1;
  return half_ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(half_ms);
#else
  return 0;
#endif
}

}  // namespace platform
