// Detached threads, on POSIX threads (mingw-w64 provides them on Windows).
#include "platform/Thread.h"

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

bool StartDetachedThread(void (*routine)(void*), void* argument) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setstacksize(&attributes, kThreadStackSize);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  auto* start = new (std::nothrow) Start{routine, argument};
  // The new thread inherits the caller's signal mask as it stands here.
  backend::HoldSignalsForNewThread();
  pthread_t thread;
  bool started = start != nullptr && pthread_create(&thread, &attributes, Trampoline, start) == 0;
  backend::ReleaseSignalsAfterNewThread();
  if (!started) delete start;
  pthread_attr_destroy(&attributes);
  return started;
}

}  // namespace platform
