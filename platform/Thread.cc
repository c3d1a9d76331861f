// Detached threads, on POSIX threads (mingw-w64 provides them on Windows).
#include "platform/Thread.h"

#include <errno.h>
#include <pthread.h>

#include <new>

namespace platform {
namespace {

struct Start {
  void (*routine)(void*);
  void* argument;
};

void* Trampoline(void* raw) {
  Start start = *static_cast<Start*>(raw);
  delete static_cast<Start*>(raw);
  start.routine(start.argument);
  return nullptr;
}

}  // namespace

// The pthread calls return their error rather than setting errno.
Status StartDetachedThread(void (*routine)(void*), void* argument) {
  pthread_attr_t attributes;
  if (const int error = pthread_attr_init(&attributes)) return Status::Failure("thread", error);
  // A size or state refused leaves the default, which serves as well.
  (void)pthread_attr_setstacksize(&attributes, kThreadStackSize);
  (void)pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  auto* start = new (std::nothrow) Start{routine, argument};
  if (start == nullptr) {
    pthread_attr_destroy(&attributes);
    return Status::Failure("thread", ENOMEM);
  }
  // The new thread inherits the caller's signal mask as it stands here.
  backend::HoldSignalsForNewThread();
  pthread_t thread;
  const int error = pthread_create(&thread, &attributes, Trampoline, start);
  backend::ReleaseSignalsAfterNewThread();
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    delete start;
    return Status::Failure("thread", error);
  }
  return Status();
}

}  // namespace platform
