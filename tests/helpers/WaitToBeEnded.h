// For the helper programs of the tests: waiting, doing nothing, until the
// test ends the process from outside.
#ifndef QZA_TESTS_HELPERS_WAIT_TO_BE_ENDED_H_
#define QZA_TESTS_HELPERS_WAIT_TO_BE_ENDED_H_

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qza {

// Sleeps until the process is ended from outside.
[[noreturn]] inline void WaitToBeEnded() {
  for (;;) {
#ifdef _WIN32
    Sleep(INFINITE);
#else
    pause();
#endif
  }
}

}  // namespace qza

#endif  // QZA_TESTS_HELPERS_WAIT_TO_BE_ENDED_H_
