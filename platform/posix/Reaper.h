// Reaps detached children in the background.
//
// A detached child must never linger as a zombie, yet the caller's other
// children (the synthesiser) must stay the caller's to wait for, so no
// process-wide SIGCHLD disposition that reaps (SIG_IGN, SA_NOCLDWAIT) is set,
// and nothing here ever waits for a child that was not adopted.
//
// How: the adopted process ids sit in a set, and no descriptor is held per
// child (a pidfd each would let a burst of thousands of long-running scripts
// exhaust the descriptors). A SIGCHLD handler (SA_RESTART, so it interrupts
// only calls that are never restarted, such as poll and nanosleep, and those
// retry) writes an eventfd; one background thread sleeps on that eventfd and
// costs nothing while no child ends. Once it runs, SIGCHLD is blocked in the
// thread that adopts and in every other background thread, so the signal
// lands on the reaper's thread and interrupts no one else. When woken it
// looks at the ended children without reaping them (waitid with WNOWAIT): an
// adopted one is reaped at once; when the first ended child is another
// owner's (not yet collected by its owner), it checks each adopted id instead
// (waitpid WNOHANG), which is the only case that costs a call per adopted
// child. After each look the thread lets ends gather for kGatherMilliseconds
// with SIGCHLD held back, so a burst of short-lived children wakes it once
// per gathering instead of once per child; an ended child stays a zombie at
// most that long. Adopting reaps the child at once if it has already ended
// (its signal came before it was adopted). Process ids cannot be reused under
// us: an adopted child's id stays taken until it is reaped here.
//
// If the thread cannot be started, each later Adopt retries it and meanwhile
// reaps the adopted children that have ended, so zombies stay bounded.
#ifndef QZA_PLATFORM_POSIX_REAPER_H_
#define QZA_PLATFORM_POSIX_REAPER_H_

#include <sys/types.h>

#include <mutex>
#include <unordered_set>

namespace platform {

// How long the reaper lets children's ends gather after it has looked.
constexpr long kGatherMilliseconds = 20;

class Reaper {
 public:
  static Reaper& Instance();

  // Takes over the child: it is reaped once it ends. Never blocks for long.
  void Adopt(pid_t pid);

  // The number of adopted children not yet reaped.
  size_t Pending();

 private:
  Reaper() = default;
  bool StartLocked();
  void Run();
  void ReapEnded();
  // Sleeps kGatherMilliseconds with SIGCHLD blocked in this thread.
  static void LetEndsGather();
  // Reaps each adopted child that has ended, by its id. Needs mutex_.
  void ReapByScanLocked();
  static void ThreadMain(void* self);

  std::mutex mutex_;
  std::unordered_set<pid_t> adopted_;  // guarded by mutex_
  bool running_ = false;               // guarded by mutex_
};

}  // namespace platform

#endif  // QZA_PLATFORM_POSIX_REAPER_H_
