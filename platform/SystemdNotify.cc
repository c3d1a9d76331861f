#include "platform/SystemdNotify.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Console.h"
#include "platform/Service.h"

namespace platform {
namespace {

constexpr char kHeartbeatVariable[] = "QZA_WDIR_HEARTBEAT";
constexpr char kHeartbeatMsVariable[] = "QZA_WDIR_HEARTBEAT_MS";
constexpr uint32_t kHeartbeatDefaultMs = 10000;
constexpr uint32_t kHeartbeatLongestMs = 3600000;

// Whether the last heartbeat failed, so that a lasting failure is reported once.
std::atomic<bool> heartbeat_failing{false};

// Beats the heartbeat when one is named; reports the start and the end of a
// run of failures on standard error.
void Beat() {
  const char* path = std::getenv(kHeartbeatVariable);
  if (path == nullptr || path[0] == '\0') return;
  const Status written = backend::TouchHeartbeat(path);
  if (!written.ok() && !heartbeat_failing.exchange(true)) {
    // strerror's words for the number, as the other lines about files give it.
    PrintError("qza_wdir: heartbeat %s cannot be written: %s\n", path,
               std::strerror(written.error()));
  } else if (written.ok() && heartbeat_failing.exchange(false)) {
    PrintError(Priority::kInfo, "qza_wdir: heartbeat %s is written again\n", path);
  }
}

// The heartbeat's interval, or 0 when no heartbeat file is named.
uint32_t HeartbeatMs() {
  const char* path = std::getenv(kHeartbeatVariable);
  if (path == nullptr || path[0] == '\0') return 0;
  const char* text = std::getenv(kHeartbeatMsVariable);
  if (text == nullptr || text[0] < '0' || text[0] > '9') return kHeartbeatDefaultMs;
  char* end = nullptr;
  errno = 0;
  const unsigned long long ms = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || ms < 1 || ms > kHeartbeatLongestMs) {
    return kHeartbeatDefaultMs;
  }
  return static_cast<uint32_t>(ms);
}

}  // namespace

void NotifyReady() {
  backend::SendToSystemd("READY=1");
  Beat();
  ReportServiceRunning();
}

void NotifyStopping() {
  backend::SendToSystemd("STOPPING=1");
  ReportServiceStopping();
}

void NotifyWatchdog() {
  backend::SendToSystemd("WATCHDOG=1");
  Beat();
}

uint32_t WatchdogPingMs() {
  const uint32_t systemd = backend::SystemdPingMs();
  const uint32_t heartbeat = HeartbeatMs();
  if (systemd == 0) return heartbeat;
  if (heartbeat == 0) return systemd;
  return systemd < heartbeat ? systemd : heartbeat;
}

}  // namespace platform
