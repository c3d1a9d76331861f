// Detached threads on Windows, through the POSIX threads of mingw-w64;
// Windows has no signals to block in them.
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
  pthread_t thread;
  bool started = start != nullptr && pthread_create(&thread, &attributes, Trampoline, start) == 0;
  if (!started) delete start;
  pthread_attr_destroy(&attributes);
  return started;
}

}  // namespace platform
