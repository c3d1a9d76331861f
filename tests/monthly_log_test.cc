#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>

#include "TestUtil.h"
#include "platform/Clock.h"
#include "support/MonthlyLog.h"

namespace qza {

namespace {

std::atomic<int> sleeps{0};
void CountingSleep(uint32_t) { ++sleeps; }

struct tm Month(int year, int month) {
  struct tm time = {};
  time.tm_year = year - 1900;
  time.tm_mon = month - 1;
  time.tm_mday = 1;
  return time;
}

class MonthlyLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sleeps = 0;
    platform::SetSleep(&CountingSleep);
  }
  void TearDown() override { platform::SetSleep(nullptr); }
  // Runs AppendMonthlyLog and returns what it printed.
  std::string Append(const std::string& directory, const struct tm& time, const char* line) {
    testutil::CaptureStdout();
    AppendMonthlyLog("%s.\\qza_%02d%02d.log", directory.c_str(), time, line);
    return testutil::GetCapturedStdout();
  }
  testutil::TempDir dir_;
};

TEST_F(MonthlyLogTest, CreatesThenAppends) {
  EXPECT_EQ(Append(dir_.path(), Month(2026, 12), "one\r\n"), "");
  EXPECT_EQ(Append(dir_.path() + "/", Month(2026, 12), "two\r\n"), "");
  EXPECT_EQ(testutil::ReadFile(dir_ / "qza_2612.log"), "one\r\ntwo\r\n");
}

TEST_F(MonthlyLogTest, NamesFollowYearAndMonth) {
  static const struct {
    int year, month;
    const char* name;
  } cases[] = {{2026, 12, "qza_2612.log"}, {2027, 1, "qza_2701.log"}, {2000, 5, "qza_0005.log"},
               {2009, 10, "qza_0910.log"}, {1999, 7, "qza_9907.log"}};
  for (const auto& c : cases) {
    Append(dir_.path(), Month(c.year, c.month), "x\r\n");
    EXPECT_EQ(testutil::ReadFile(dir_ / c.name), "x\r\n") << c.name;
  }
}

TEST_F(MonthlyLogTest, MissingDirectoryCannotBeCreated) {
  EXPECT_EQ(Append(dir_ / "missing", Month(2026, 12), "x\r\n"),
            "ERROR: Log file could not be created\n");
  EXPECT_EQ(sleeps, 0);
}

TEST_F(MonthlyLogTest, ReaderHoldingTheLogCostsNoLine) {
  Append(dir_.path(), Month(2026, 12), "one\r\n");
  testutil::FileHolder reader(dir_ / "qza_2612.log", false);
  EXPECT_EQ(Append(dir_.path(), Month(2026, 12), "two\r\n"), "");
  EXPECT_EQ(sleeps, 0);
  EXPECT_EQ(testutil::ReadFile(dir_ / "qza_2612.log"), "one\r\ntwo\r\n");
}

TEST_F(MonthlyLogTest, SecondWriterCostsTheLineAfterOneRetry) {
  Append(dir_.path(), Month(2026, 12), "one\r\n");
  testutil::FileHolder writer(dir_ / "qza_2612.log", true);
  EXPECT_EQ(Append(dir_.path(), Month(2026, 12), "two\r\n"),
            "ERROR: Log file could not be opened\n");
  EXPECT_EQ(sleeps, 1);
  writer.Release();
  EXPECT_EQ(testutil::ReadFile(dir_ / "qza_2612.log"), "one\r\n");
}

TEST_F(MonthlyLogTest, TooLongNameWritesNothing) {
  const std::string directory = dir_.path() + "/" + std::string(120, 'd');
  EXPECT_EQ(Append(directory, Month(2026, 12), "x\r\n"),
            "ERROR: Log file name too long: " + directory + "\n");
}

TEST(TwoDigitYear, SubtractsOneHundredOnce) {
  static const struct {
    int tm_year, expected;
  } cases[] = {{126, 26}, {99, 99}, {100, 0}, {226, 126}};
  for (const auto& c : cases) {
    struct tm time = {};
    time.tm_year = c.tm_year;
    EXPECT_EQ(TwoDigitYear(time), c.expected) << c.tm_year;
  }
}

}  // namespace

}  // namespace qza
