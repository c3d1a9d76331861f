// The signals a new thread starts without, on POSIX.
#include "platform/Thread.h"

#include <pthread.h>
#include <signal.h>

namespace platform {
namespace backend {
namespace {

thread_local sigset_t mask_before;  // of the thread that starts another

}  // namespace

// SIGCHLD: the end of a child is the reaper's to hear, and would only
// interrupt any other thread.
void HoldSignalsForNewThread() {
  sigset_t child_signal;
  sigemptyset(&child_signal);
  sigaddset(&child_signal, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &child_signal, &mask_before);
}

void ReleaseSignalsAfterNewThread() { pthread_sigmask(SIG_SETMASK, &mask_before, nullptr); }

}  // namespace backend
}  // namespace platform
