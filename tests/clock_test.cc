#include <gtest/gtest.h>

#include <time.h>

#include "platform/Clock.h"

namespace {

int64_t FixedAge() { return 4242; }
int64_t FixedWallClock() { return 86400; }

int64_t BootSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_BOOTTIME, &now);
  return now.tv_sec;
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
