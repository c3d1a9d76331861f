// Reaps detached children in the background.
//
// A detached child must never linger as a zombie, yet the caller's other
// children (the synthesiser) must stay the caller's to wait for, so no
// process-wide SIGCHLD disposition is changed. Each adopted child is watched
// through a pidfd by one background thread, which reaps it when it ends.
#ifndef QZA_PLATFORM_REAPER_H_
#define QZA_PLATFORM_REAPER_H_

#include <sys/types.h>

#include <mutex>
#include <vector>

namespace platform {

class Reaper {
 public:
  static Reaper& Instance();

  // Takes over the child: it is reaped once it ends. Never blocks for long.
  void Adopt(pid_t pid);

 private:
  Reaper() = default;
  void Run();
  static void ThreadMain(void* self);

  std::mutex mutex_;
  std::vector<int> pidfds_;  // guarded by mutex_
  int wake_fd_ = -1;         // eventfd; -1 until the thread runs
};

}  // namespace platform

#endif  // QZA_PLATFORM_REAPER_H_
