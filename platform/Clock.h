// Wall clock, monotonic clock, local time and sleeping, replaceable by tests.
//
// The wall clock is for printed times and file names. Ages (how long ago a
// console was last heard of) use the monotonic clock, which a step of the
// wall clock does not move and which counts time spent suspended
// (CLOCK_BOOTTIME), so an age never runs backwards or jumps.
// Times are 64-bit seconds since 1970 broken down with localtime_r, so the
// year-2038 limit of 32-bit times does not apply. Retry loops that wait for
// seconds call Sleep, which a test can replace to run them in milliseconds.
#ifndef QZA_PLATFORM_CLOCK_H_
#define QZA_PLATFORM_CLOCK_H_

#include <cstdint>
#include <ctime>

namespace platform {

using ClockFunction = int64_t (*)();
using SleepFunction = void (*)(uint32_t milliseconds);

// Seconds since 1970 from the current clock function.
int64_t Now();
// Seconds since an arbitrary fixed point (the boot), suspended time included,
// from the current monotonic clock function. Only differences are meaningful.
int64_t MonotonicSeconds();
// Milliseconds of the real monotonic clock (not replaceable), for deadlines of
// waits that must not move with the wall clock.
int64_t MonotonicMilliseconds();
// Sleeps through the current sleep function.
void Sleep(uint32_t milliseconds);
// The local broken-down time of `seconds`.
struct tm LocalTime(int64_t seconds);

// Replace the clock or the sleep; null restores the real one. Meant for tests,
// set before the threads that use them start.
void SetClock(ClockFunction clock);
void SetMonotonicClock(ClockFunction clock);
void SetSleep(SleepFunction sleep);

}  // namespace platform

#endif  // QZA_PLATFORM_CLOCK_H_
