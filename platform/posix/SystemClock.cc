// The system's clocks and sleep on POSIX systems.
#include "platform/SystemClock.h"

#include <errno.h>
#include <time.h>

namespace platform {

int64_t SystemClock() { return static_cast<int64_t>(time(nullptr)); }

int64_t SystemMonotonicClock() {
  struct timespec now {};
  // CLOCK_BOOTTIME exists since Linux 2.6.39; CLOCK_MONOTONIC, which leaves
  // out suspended time, is the fallback where it is refused.
  if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec);
}

void SystemSleep(uint32_t milliseconds) {
  struct timespec request = {static_cast<time_t>(milliseconds / 1000),
                             static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&request, &request) != 0 && errno == EINTR) {
  }
}

struct tm SystemLocalTime(time_t t) {
  struct tm result {};
  localtime_r(&t, &result);
  return result;
}

int64_t SystemMonotonicMilliseconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace platform
