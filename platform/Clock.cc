#include "platform/Clock.h"

#include <errno.h>
#include <time.h>

#include <atomic>

namespace platform {
namespace {

int64_t RealClock() { return static_cast<int64_t>(time(nullptr)); }

int64_t RealMonotonicClock() {
  struct timespec now {};
  // CLOCK_BOOTTIME exists since Linux 2.6.39; CLOCK_MONOTONIC, which leaves
  // out suspended time, is the fallback where it is refused.
  if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec);
}

void RealSleep(uint32_t milliseconds) {
  struct timespec request = {static_cast<time_t>(milliseconds / 1000),
                             static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&request, &request) != 0 && errno == EINTR) {
  }
}

std::atomic<ClockFunction> clock_function{&RealClock};
std::atomic<ClockFunction> monotonic_function{&RealMonotonicClock};
std::atomic<SleepFunction> sleep_function{&RealSleep};

}  // namespace

int64_t Now() { return clock_function.load()(); }

int64_t MonotonicSeconds() { return monotonic_function.load()(); }

void Sleep(uint32_t milliseconds) { sleep_function.load()(milliseconds); }

struct tm LocalTime(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm result {};
  localtime_r(&t, &result);
  return result;
}

void SetClock(ClockFunction clock) { clock_function = clock ? clock : &RealClock; }

void SetMonotonicClock(ClockFunction clock) {
  monotonic_function = clock ? clock : &RealMonotonicClock;
}

void SetSleep(SleepFunction sleep) { sleep_function = sleep ? sleep : &RealSleep; }

int64_t MonotonicMilliseconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace platform
