// Detached background threads.
#ifndef QZA_PLATFORM_THREAD_H_
#define QZA_PLATFORM_THREAD_H_

#include <cstddef>

#include "platform/Status.h"

namespace platform {

// Stack of each background thread. The 16 KiB that a Windows thread asks for
// is too small for the C library's formatted output on Linux; 256 KiB is safe
// with the sanitizers' larger frames and costs only the pages a thread touches.
constexpr size_t kThreadStackSize = 256 * 1024;

// Starts `routine(argument)` on a new detached thread that nobody waits for,
// with SIGCHLD blocked (the reaper's thread unblocks it for itself).
// Fails ("thread") when the thread cannot be created; `argument` then stays
// the caller's.
Status StartDetachedThread(void (*routine)(void*), void* argument);

namespace backend {
// Between these two calls, in one thread, the signals that a new thread must
// start without are blocked (POSIX: SIGCHLD; nothing on Windows).
void HoldSignalsForNewThread();
void ReleaseSignalsAfterNewThread();
}  // namespace backend

}  // namespace platform

#endif  // QZA_PLATFORM_THREAD_H_
