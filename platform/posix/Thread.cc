// Detached threads on POSIX threads.
#include "platform/Thread.h"

#include <pthread.h>
#include <signal.h>

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
  // The thread starts with SIGCHLD blocked: the end of a child is the
  // reaper's to hear, and would only interrupt any other thread.
  sigset_t child_signal;
  sigset_t previous;
  sigemptyset(&child_signal);
  sigaddset(&child_signal, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &child_signal, &previous);
  pthread_t thread;
  bool started = start != nullptr && pthread_create(&thread, &attributes, Trampoline, start) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!started) delete start;
  pthread_attr_destroy(&attributes);
  return started;
}

}  // namespace platform
