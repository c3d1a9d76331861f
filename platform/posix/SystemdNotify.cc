// The systemd side of the readiness and liveness reports (libsystemd, loaded
// when systemd runs the service) and the heartbeat file on POSIX systems.
#include "platform/SystemdNotify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/Console.h"

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

}  // namespace

namespace backend {

// Sends one state line; a failure is reported on standard error only, as the
// account on standard output must not change.
void SendToSystemd([[maybe_unused]] const char* state) {
#if QZA_HAVE_LIBSYSTEMD
  const Systemd* systemd = Library();
  if (systemd == nullptr || systemd->notify == nullptr) return;
  const int result = systemd->notify(0, state);
  if (result < 0) {
    PrintError("qza_wdir: cannot report %s to systemd: %s\n", state, std::strerror(-result));
  }
#endif
}

Status TouchHeartbeat(const char* path) {
  if (utimensat(AT_FDCWD, path, nullptr, AT_SYMLINK_NOFOLLOW) == 0) return Status();
  if (errno != ENOENT) return LastFailure("touch");
  const int fd =
      open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) return LastFailure("touch");
  close(fd);  // nothing was written
  return Status();
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

}  // namespace backend

}  // namespace platform
