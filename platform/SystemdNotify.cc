#include "platform/SystemdNotify.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/Console.h"
#include "platform/Service.h"

#if QZA_HAVE_LIBSYSTEMD
#include <dlfcn.h>
#include <systemd/sd-daemon.h>
#endif

namespace platform {
namespace {

#if QZA_HAVE_LIBSYSTEMD
// libsystemd's two calls. The library is loaded only once systemd has handed
// the service a notification socket: a service started by hand (and its
// memory) carries none of libsystemd and the libraries it pulls in.
struct Systemd {
  decltype(&sd_notify) notify = nullptr;
  decltype(&sd_watchdog_enabled) watchdog_enabled = nullptr;
};

const Systemd* Library() {
  static std::mutex mutex;
  static Systemd api;
  static bool loaded = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (loaded) return &api;
  if (std::getenv("NOTIFY_SOCKET") == nullptr) return nullptr;
  loaded = true;
  void* library = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    PrintError("qza_wdir: cannot load libsystemd: %s\n", dlerror());
    return &api;
  }
  api.notify = reinterpret_cast<decltype(&sd_notify)>(dlsym(library, "sd_notify"));
  api.watchdog_enabled =
      reinterpret_cast<decltype(&sd_watchdog_enabled)>(dlsym(library, "sd_watchdog_enabled"));
  return &api;
}
#endif

// Sends one state line; a failure is reported on standard error only, as the
// account on standard output must not change.
void Send([[maybe_unused]] const char* state) {
#if QZA_HAVE_LIBSYSTEMD
  const Systemd* systemd = Library();
  if (systemd == nullptr || systemd->notify == nullptr) return;
  const int result = systemd->notify(0, state);
  if (result < 0) {
    PrintError("qza_wdir: cannot report %s to systemd: %s\n", state, std::strerror(-result));
  }
#endif
}

constexpr char kHeartbeatVariable[] = "QZA_WDIR_HEARTBEAT";
constexpr char kHeartbeatMsVariable[] = "QZA_WDIR_HEARTBEAT_MS";
constexpr uint32_t kHeartbeatDefaultMs = 10000;
constexpr uint32_t kHeartbeatLongestMs = 3600000;

// Whether the last heartbeat failed, so that a lasting failure is reported once.
std::atomic<bool> heartbeat_failing{false};

// Sets the modification time of the file at `path` to now, creating it where
// it is missing, never through a link. 0, or the error.
#ifdef _WIN32
int Touch(const char* path) {
  HANDLE file = CreateFileA(path, FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const int error = SetFileTime(file, nullptr, nullptr, &now) ? 0 : GetLastError();
  CloseHandle(file);  // only attributes were written: nothing to lose
  return error;
}
#else
int Touch(const char* path) {
  if (utimensat(AT_FDCWD, path, nullptr, AT_SYMLINK_NOFOLLOW) == 0) return 0;
  if (errno != ENOENT) return errno;
  const int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                      0644);
  if (fd < 0) return errno;
  close(fd);  // nothing was written
  return 0;
}
#endif

// Beats the heartbeat when one is named; reports the start and the end of a
// run of failures on standard error.
void Beat() {
  const char* path = std::getenv(kHeartbeatVariable);
  if (path == nullptr || path[0] == '\0') return;
  const int error = Touch(path);
  if (error != 0 && !heartbeat_failing.exchange(true)) {
#ifdef _WIN32
    PrintError("qza_wdir: heartbeat %s cannot be written: Windows error %d\n", path, error);
#else
    PrintError("qza_wdir: heartbeat %s cannot be written: %s\n", path, std::strerror(error));
#endif
  } else if (error == 0 && heartbeat_failing.exchange(false)) {
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

// Half the watchdog interval that systemd asked of this process, or 0.
uint32_t SystemdPingMs() {
#if QZA_HAVE_LIBSYSTEMD
  const Systemd* systemd = Library();
  if (systemd == nullptr || systemd->watchdog_enabled == nullptr) return 0;
  uint64_t interval_us = 0;
  if (systemd->watchdog_enabled(0, &interval_us) <= 0) return 0;  // not asked, or malformed
  const uint64_t half_ms = interval_us / 2000;
  if (half_ms == 0) return 1;
  return half_ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(half_ms);
#else
  return 0;
#endif
}

}  // namespace

void NotifyReady() {
  Send("READY=1");
  Beat();
  ReportServiceRunning();
}

void NotifyStopping() {
  Send("STOPPING=1");
  ReportServiceStopping();
}

void NotifyWatchdog() {
  Send("WATCHDOG=1");
  Beat();
}

uint32_t WatchdogPingMs() {
  const uint32_t systemd = SystemdPingMs();
  const uint32_t heartbeat = HeartbeatMs();
  if (systemd == 0) return heartbeat;
  if (heartbeat == 0) return systemd;
  return systemd < heartbeat ? systemd : heartbeat;
}

}  // namespace platform
