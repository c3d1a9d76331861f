#include <gtest/gtest.h>

#include <time.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/Clock.h"

namespace qza {

namespace {

int64_t FixedAge() { return 4242; }
int64_t FixedWallClock() { return 86400; }

// Seconds since boot, sleep included, from the system's own clock.
int64_t BootSeconds() {
#ifdef _WIN32
  return static_cast<int64_t>(GetTickCount64() / 1000);
#else
  struct timespec now;
  clock_gettime(CLOCK_BOOTTIME, &now);
  return now.tv_sec;
#endif
}

TEST(MonotonicSeconds, CountsFromBootAndIsInjectableApartFromTheWallClock) {
  const int64_t before = BootSeconds();
  const int64_t seconds = platform::MonotonicSeconds();
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, BootSeconds());

  platform::SetClock(&FixedWallClock);  // a step of the wall clock
  EXPECT_GE(platform::MonotonicSeconds(), seconds);
  EXPECT_EQ(platform::Now(), 86400);

  platform::SetMonotonicClock(&FixedAge);
  EXPECT_EQ(platform::MonotonicSeconds(), 4242);
  EXPECT_EQ(platform::Now(), 86400);

  platform::SetMonotonicClock(nullptr);
  platform::SetClock(nullptr);
  EXPECT_GE(platform::MonotonicSeconds(), seconds);
  EXPECT_LE(platform::MonotonicSeconds(), BootSeconds());
  EXPECT_NE(platform::Now(), 86400);
}

}  // namespace

}  // namespace qza
