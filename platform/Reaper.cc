#include "platform/Reaper.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "platform/Thread.h"

namespace platform {
namespace {

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// Blocking reap for a child that no pidfd can watch (a kernel before 5.3).
void WaitForChild(void* arg) {
  pid_t pid = static_cast<pid_t>(reinterpret_cast<intptr_t>(arg));
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

Reaper& Reaper::Instance() {
  static Reaper* reaper = new Reaper();  // lives as long as the process
  return *reaper;
}

void Reaper::Adopt(pid_t pid) {
  int status;
  if (waitpid(pid, &status, WNOHANG) == pid) return;  // already ended
  int pidfd = PidfdOpen(pid);
  std::lock_guard<std::mutex> lock(mutex_);
  if (wake_fd_ < 0) {
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0 || !StartDetachedThread(&Reaper::ThreadMain, this)) {
      if (wake_fd_ >= 0) close(wake_fd_);
      wake_fd_ = -1;
    }
  }
  if (pidfd < 0 || wake_fd_ < 0) {
    if (pidfd >= 0) close(pidfd);
    StartDetachedThread(&WaitForChild, reinterpret_cast<void*>(static_cast<intptr_t>(pid)));
    return;
  }
  pidfds_.push_back(pidfd);
  uint64_t one = 1;
  if (write(wake_fd_, &one, sizeof one) < 0) {
    // The counter is already non-zero: the thread wakes all the same.
  }
}

void Reaper::ThreadMain(void* self) { static_cast<Reaper*>(self)->Run(); }

void Reaper::Run() {
  std::vector<struct pollfd> fds;
  for (;;) {
    fds.clear();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fds.push_back({wake_fd_, POLLIN, 0});
      for (int pidfd : pidfds_) fds.push_back({pidfd, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0) continue;  // EINTR
    if (fds[0].revents & POLLIN) {
      uint64_t count;
      if (read(wake_fd_, &count, sizeof count) < 0) {
        // EAGAIN: another wake-up already emptied the counter.
      }
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      siginfo_t info;
      while (waitid(P_PIDFD, fds[i].fd, &info, WEXITED) < 0 && errno == EINTR) {
      }
      {
        // Forget the descriptor before closing it: once closed, its number
        // can come back at once for a newly adopted child.
        std::lock_guard<std::mutex> lock(mutex_);
        pidfds_.erase(std::find(pidfds_.begin(), pidfds_.end(), fds[i].fd));
      }
      close(fds[i].fd);
    }
  }
}

}  // namespace platform
