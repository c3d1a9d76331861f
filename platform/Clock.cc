#include "platform/Clock.h"

#include <atomic>

#include "platform/SystemClock.h"

namespace platform {
namespace {

std::atomic<ClockFunction> clock_function{&SystemClock};
std::atomic<ClockFunction> monotonic_function{&SystemMonotonicClock};
std::atomic<SleepFunction> sleep_function{&SystemSleep};

}  // namespace

int64_t Now() { return clock_function.load()(); }

int64_t MonotonicSeconds() { return monotonic_function.load()(); }

int64_t MonotonicMilliseconds() { return SystemMonotonicMilliseconds(); }

void Sleep(uint32_t milliseconds) { sleep_function.load()(milliseconds); }

struct tm LocalTime(int64_t seconds) { return SystemLocalTime(static_cast<time_t>(seconds)); }

void SetClock(ClockFunction clock) { clock_function = clock ? clock : &SystemClock; }

void SetMonotonicClock(ClockFunction clock) {
  monotonic_function = clock ? clock : &SystemMonotonicClock;
}

void SetSleep(SleepFunction sleep) { sleep_function = sleep ? sleep : &SystemSleep; }

}  // namespace platform
