// Wall clock, local time and sleeping, replaceable by tests.
//
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
// Sleeps through the current sleep function.
void Sleep(uint32_t milliseconds);
// The local broken-down time of `seconds`.
struct tm LocalTime(int64_t seconds);

// Replace the clock or the sleep; null restores the real one. Meant for tests,
// set before the threads that use them start.
void SetClock(ClockFunction clock);
void SetSleep(SleepFunction sleep);

}  // namespace platform

#endif  // QZA_PLATFORM_CLOCK_H_
