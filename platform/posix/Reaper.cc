#include "platform/posix/Reaper.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <iterator>

#include "platform/Thread.h"

namespace platform {
namespace {

std::atomic<int> wake_fd{-1};
struct sigaction previous_action;  // written once, before the handler is installed

void Wake() {
  const uint64_t one = 1;
  // Fails only when the counter is full, and then the thread wakes anyway.
  if (write(wake_fd.load(), &one, sizeof one) < 0) return;
}

void OnChildSignal(int signal_number, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  Wake();
  errno = saved_errno;
  // A handler that was installed before ours still gets its signal.
  if (previous_action.sa_flags & SA_SIGINFO) {
    if (previous_action.sa_sigaction != nullptr) {
      previous_action.sa_sigaction(signal_number, info, context);
    }
  } else if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
    previous_action.sa_handler(signal_number);
  }
}

// Blocks (SIG_BLOCK) or unblocks (SIG_UNBLOCK) SIGCHLD in the calling thread.
void BlockChildSignal(int how) {
  sigset_t child_signal;
  sigemptyset(&child_signal);
  sigaddset(&child_signal, SIGCHLD);
  pthread_sigmask(how, &child_signal, nullptr);
}

// Reaps `pid` if it has ended. True when it is gone (reaped, or not a child).
bool ReapIfEnded(pid_t pid) {
  int status;
  pid_t result;
  do {
    result = waitpid(pid, &status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  return result == pid || (result < 0 && errno == ECHILD);
}

}  // namespace

Reaper& Reaper::Instance() {
  static Reaper* reaper = new Reaper();  // lives as long as the process
  return *reaper;
}

bool Reaper::StartLocked() {
  if (running_) return true;
  if (wake_fd.load() < 0) {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return false;
    wake_fd.store(fd);
    struct sigaction action {};
    action.sa_sigaction = &OnChildSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGCHLD, &action, &previous_action) != 0) {
      wake_fd.store(-1);
      close(fd);
      return false;
    }
  }
  running_ = StartDetachedThread(&Reaper::ThreadMain, this).ok();
  // The thread that launches children no longer hears them end: each end
  // wakes only the reaper's thread, not a wait of the caller's.
  if (running_) BlockChildSignal(SIG_BLOCK);
  return running_;
}

void Reaper::Adopt(pid_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  adopted_.insert(pid);
  if (!StartLocked()) {
    ReapByScanLocked();  // no thread: retry it next time
    return;
  }
  // A child that ended before it was adopted (or before the handler was in
  // place) woke the thread too early to be recognised: it is reaped here.
  // Waking the thread for it instead would cost two thread switches for
  // every launch.
  if (ReapIfEnded(pid)) adopted_.erase(pid);
}

size_t Reaper::Pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return adopted_.size();
}

void Reaper::ThreadMain(void* self) { static_cast<Reaper*>(self)->Run(); }

void Reaper::Run() {
  BlockChildSignal(SIG_UNBLOCK);
  const int fd = wake_fd.load();
  for (;;) {
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, -1) < 0) continue;  // EINTR
    uint64_t count;
    if (read(fd, &count, sizeof count) < 0) {
      // EAGAIN: another wake-up already emptied the counter.
    }
    ReapEnded();
    LetEndsGather();
  }
}

void Reaper::LetEndsGather() {
  // SIGCHLD is blocked in every other thread too, so it stays pending until
  // this thread takes it back, and then wakes it once for all that ended.
  BlockChildSignal(SIG_BLOCK);
  struct timespec left = {0, kGatherMilliseconds * 1000L * 1000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  BlockChildSignal(SIG_UNBLOCK);
}

void Reaper::ReapEnded() {
  for (;;) {
    siginfo_t info {};
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      if (errno == EINTR) continue;
      return;  // ECHILD: no children at all
    }
    if (info.si_pid == 0) return;  // no child has ended
    // Looking and reaping under one lock: Adopt reaps too, and an id reaped
    // there may already belong to another owner's new child.
    std::lock_guard<std::mutex> lock(mutex_);
    if (adopted_.count(info.si_pid) == 0) {
      // Another owner's child waits to be collected and hides the rest.
      ReapByScanLocked();
      return;
    }
    if (!ReapIfEnded(info.si_pid)) return;  // cannot happen: it was seen ended
    adopted_.erase(info.si_pid);
  }
}

void Reaper::ReapByScanLocked() {
  for (auto it = adopted_.begin(); it != adopted_.end();) {
    it = ReapIfEnded(*it) ? adopted_.erase(it) : std::next(it);
  }
}

}  // namespace platform
