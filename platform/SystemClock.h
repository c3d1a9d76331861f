// The system's clocks and sleep under platform/Clock.cc, which lets tests
// replace them; each back end has its own SystemClock.cc.
#ifndef QZA_PLATFORM_SYSTEM_CLOCK_H_
#define QZA_PLATFORM_SYSTEM_CLOCK_H_

#include <cstdint>
#include <ctime>

namespace platform {

// Seconds since 1970.
int64_t SystemClock();
// Seconds since the boot, suspended time included where the system counts it.
int64_t SystemMonotonicClock();
// Sleeps `milliseconds`, resumed after interruptions.
void SystemSleep(uint32_t milliseconds);
// The local time of `t`.
struct tm SystemLocalTime(time_t t);
// Milliseconds of the monotonic clock (suspended time left out).
int64_t SystemMonotonicMilliseconds();

}  // namespace platform

#endif  // QZA_PLATFORM_SYSTEM_CLOCK_H_
