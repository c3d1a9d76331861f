#include "platform/Clock.h"

#include <atomic>

#include "platform/win32/Win32.h"

namespace platform {
namespace {

int64_t RealClock() { return static_cast<int64_t>(time(nullptr)); }

// GetTickCount64 counts from the boot and goes on while the machine sleeps.
int64_t RealMonotonicClock() { return static_cast<int64_t>(GetTickCount64() / 1000); }

void RealSleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

std::atomic<ClockFunction> clock_function{&RealClock};
std::atomic<ClockFunction> monotonic_function{&RealMonotonicClock};
std::atomic<SleepFunction> sleep_function{&RealSleep};

}  // namespace

int64_t Now() { return clock_function.load()(); }

int64_t MonotonicSeconds() { return monotonic_function.load()(); }

void Sleep(uint32_t milliseconds) { sleep_function.load()(milliseconds); }

struct tm LocalTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);  // 64 bits with mingw-w64
  struct tm result {};
  localtime_s(&result, &t);
  return result;
}

void SetClock(ClockFunction clock) { clock_function = clock ? clock : &RealClock; }

void SetMonotonicClock(ClockFunction clock) {
  monotonic_function = clock ? clock : &RealMonotonicClock;
}

void SetSleep(SleepFunction sleep) { sleep_function = sleep ? sleep : &RealSleep; }

int64_t MonotonicMilliseconds() { return static_cast<int64_t>(GetTickCount64()); }

}  // namespace platform
