#include "platform/Startup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/Console.h"

namespace platform {
namespace {

std::atomic<bool> stop_requested{false};
std::atomic<int> stop_fd{-1};

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Opens /dev/null on each of 0, 1 and 2 that is not open.
Status OpenMissingStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number is taken: this is `fd`, as the lower ones are open.
    int opened = open("/dev/null", O_RDWR);
    if (opened < 0) return backend::LastFailure("open");
    if (opened != fd) {
      // Cannot happen while 0..fd-1 are open; keep the numbers right anyway.
      const Status moved = dup2(opened, fd) < 0 ? backend::LastFailure("open") : Status();
      close(opened);  // /dev/null: nothing to lose
      if (!moved.ok()) return moved;
    }
  }
  return Status();
}

void RaiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  // Refused only in odd sandboxes; the service then runs with the soft limit.
  setrlimit(RLIMIT_NOFILE, &limit);
}

void OnStopSignal(int signal_number) {
  const int saved_errno = errno;
  if (stop_requested.load()) {
    // The second stop signal: end at once, by that signal. It is blocked while
    // this handler runs and is delivered as soon as the handler returns.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
  } else {
    RequestStop();
  }
  errno = saved_errno;
}

}  // namespace

Status PrepareProcess() {
  const Status opened = OpenMissingStandardDescriptors();
  if (!opened.ok()) return opened;
  IgnoreServiceSignals();
  RaiseDescriptorLimit();
  StartConsoleWriter();  // when it cannot start, Print writes in the caller
  return Status();
}

Status InstallStopHandlers() {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  if (stop_fd.load() >= 0) return Status();
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return backend::LastFailure("signal");
  stop_fd.store(fd);
  struct sigaction action {};
  action.sa_handler = &OnStopSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kStopSignals) sigaddset(&action.sa_mask, signal_number);
  for (int signal_number : kStopSignals) {
    if (sigaction(signal_number, &action, nullptr) != 0) return backend::LastFailure("signal");
  }
  return Status();
}

bool StopRequested() { return stop_requested.load(); }

void RequestStop() {
  stop_requested.store(true);
  const int fd = stop_fd.load();
  if (fd < 0) return;
  const uint64_t one = 1;
  // Fails only when the counter is full, and then it is readable already.
  if (write(fd, &one, sizeof one) < 0) return;
}

void ResetStopRequest() {
  stop_requested.store(false);
  const int fd = stop_fd.load();
  uint64_t count;
  // EAGAIN: the counter was empty already.
  if (fd >= 0 && read(fd, &count, sizeof count) < 0) return;
}

int StopDescriptor() { return stop_fd.load(); }

}  // namespace platform
