// Console supervision with an injected clock and an instant sleep.
#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "TestUtil.h"
#include "watchdog/Watchdog.h"
#include "platform/Clock.h"
#include "platform/Fault.h"
#include "watchdog/Watchdog.h"

namespace qza {

namespace {

std::atomic<int64_t> fake_now{1000000};
int64_t FakeNow() { return fake_now; }
void InstantSleep(uint32_t) {}

// The warning programs, present and doing nothing but note their calls.
class WarningPrograms : public ::testing::Environment {
 public:
  void SetUp() override {
    for (const char* name : {"QZA_WARN.BAT", "QZA_WARN.CMD"}) {
      testutil::MakeRecordingProgram(bin_.path(), name, bin_ / "calls.log");
    }
    testutil::SetEnvironment("PATH", bin_.path() + testutil::kPathListSeparator +
                                         testutil::GetEnvironment("PATH"));
  }

 private:
  testutil::TempDir bin_;
};
const auto* const kWarningPrograms = ::testing::AddGlobalTestEnvironment(new WarningPrograms);

// Sleeps go through the platform, so that a test may hold the suspension.
const HandlerClock kClock{&FakeNow, &FakeNow, &platform::Sleep};

class WatchdogTest : public ::testing::Test {
 protected:
  Supervision& sv() { return handler_->supervision(); }
  Settings settings_;
  std::unique_ptr<WatchdogHandler> handler_;

  void SetUp() override {
    platform::SetClock(&FakeNow);
    platform::SetMonotonicClock(&FakeNow);
    platform::SetSleep(&InstantSleep);
    handler_ = std::make_unique<WatchdogHandler>(settings_, kClock);
    settings_.WaitForSec = 10;
    settings_.SleepAfterError = 60;
    for (int i = 0; i < kConsoleCount; ++i) {
      sv().NeedAllConsole[i] = 0;
      sv().NeedOneConsole[i] = 0;
      sv().ConsoleLastSeen[i] = fake_now;
    }
    sv().SupervisionActive = 1;
  }
  void TearDown() override {
    platform::ClearFaults();
    handler_.reset();
    platform::SetClock(nullptr);
    platform::SetMonotonicClock(nullptr);
    platform::SetSleep(nullptr);
  }
  // Runs one check and returns what it printed, the suspension included.
  std::string Check() {
    testutil::CaptureStdout();
    handler_->CheckConsoles();
    EXPECT_TRUE(testutil::WaitFor([this] { return sv().SupervisionActive.load() == 1; }));
    return testutil::GetCapturedStdout();
  }
  void SilentFor(int console, int seconds) {
    sv().ConsoleLastSeen[console] = fake_now - seconds;
  }
};

TEST_F(WatchdogTest, ExactlyWaitForSecondsOldIsAliveOneMoreIsSilent) {
  sv().NeedAllConsole[4] = 1;
  static const struct {
    int age;
    bool warned;
  } cases[] = {{10, false}, {11, true}, {0, false}, {-5, false}, {3600, true}};
  for (const auto& c : cases) {
    SilentFor(4, c.age);
    const std::string output = Check();
    EXPECT_EQ(output.find("launching [QZA_WARN.BAT  4]\r\n") != std::string::npos, c.warned)
        << "age " << c.age << ": " << output;
  }
}

TEST_F(WatchdogTest, SilentNeedAllConsolesWarnInOrderThenOneSuspension) {
  sv().NeedAllConsole[5] = 1;
  sv().NeedAllConsole[3] = 1;
  sv().NeedOneConsole[1] = 1;
  SilentFor(1, 100);
  SilentFor(3, 100);
  SilentFor(5, 100);
  EXPECT_EQ(Check(),
            "launching [QZA_WARN.BAT  3]\r\n"
            "launching [QZA_WARN.BAT  5]\r\n"
            "suspend for 60 seconds\n");
}

TEST_F(WatchdogTest, NeedOneRuleWarnsOnlyWhenNoAlternativeIsAlive) {
  sv().NeedAllConsole[2] = 1;
  sv().NeedOneConsole[6] = 1;
  sv().NeedOneConsole[7] = 1;
  SilentFor(6, 50);
  SilentFor(7, 50);
  EXPECT_EQ(Check(), "launching [QZA_WARN.CMD]\r\nsuspend for 60 seconds\n");
  SilentFor(7, 3);
  EXPECT_EQ(Check(), "");
}

TEST_F(WatchdogTest, StepsOfTheWallClockChangeNoAge) {
  sv().NeedAllConsole[4] = 1;
  SilentFor(4, 5);
  static std::atomic<int64_t> wall{0};
  platform::SetClock([] { return wall.load(); });
  for (int64_t step : {-3600, 3600, 86400}) {
    wall = fake_now + step;
    EXPECT_EQ(Check(), "") << "wall clock stepped by " << step;
  }
  fake_now += 6;  // the monotonic clock alone makes the console silent
  EXPECT_EQ(Check(), "launching [QZA_WARN.BAT  4]\r\nsuspend for 60 seconds\n");
}

TEST_F(WatchdogTest, EmptyNeedOneListNeverWarns) {
  sv().NeedAllConsole[2] = 1;
  SilentFor(2, 5);
  EXPECT_EQ(Check(), "");
}

TEST_F(WatchdogTest, SupervisionIsOffFromTheWarningUntilTheSleepEnds) {
  // The suspend thread sleeps through its handler's clock: this handler's
  // sleep lasts until the test lets it end.
  static std::atomic<bool> release{false};
  static const HandlerClock held{&FakeNow, &FakeNow, [](uint32_t) {
                                   while (!release) std::this_thread::yield();
                                 }};
  handler_ = std::make_unique<WatchdogHandler>(settings_, held);
  sv().SupervisionActive = 1;
  sv().NeedOneConsole[1] = 1;
  SilentFor(1, 50);
  testutil::CaptureStdout();
  handler_->CheckConsoles();
  EXPECT_EQ(sv().SupervisionActive.load(), 0);  // cleared before the thread runs
  release = true;
  EXPECT_TRUE(testutil::WaitFor([this] { return sv().SupervisionActive.load() == 1; }));
  testutil::GetCapturedStdout();
}

TEST_F(WatchdogTest, ClearedFileRenewsItsConsole) {
  testutil::TempDir dir;
  const std::string path = dir / "qza1k3.dog";
  testutil::WriteFile(path, "");
  SilentFor(3, 500);
  testutil::CaptureStdout();
  handler_->ClearWatchdogFile(path.c_str(), '3');
  const std::string output = testutil::GetCapturedStdout();
  EXPECT_EQ(output.size(), std::string("10:12 03:04:05 Watchdog event (from console 3) cleared\n").size());
  EXPECT_EQ(output.substr(14), " Watchdog event (from console 3) cleared\n");
  EXPECT_EQ(sv().ConsoleLastSeen[3], fake_now.load());
  EXPECT_FALSE(testutil::FileExists(path));
}

TEST_F(WatchdogTest, FileThatCannotBeDeletedCountsAsLifeOnce) {
  testutil::TempDir dir;
  const std::string path = dir / "qza1k8.dog";
  testutil::WriteFile(path, "");
  platform::InjectFault(platform::FaultPoint::kUnlink, EPERM, "qza1k8.dog");
  SilentFor(8, 500);
  testutil::CaptureStdout();
  testing::internal::CaptureStderr();
  handler_->ClearWatchdogFile(path.c_str(), '8');
  EXPECT_EQ(testutil::GetCapturedStdout(),
            "Failed to delete watchdog file " + path);  // no line end, as it always was
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "qza_wdir: watchdog file " + path + " cannot be deleted: Operation not permitted\n");
  EXPECT_EQ(sv().ConsoleLastSeen[8], fake_now.load());
  // Found again at the next passes: no new sign of life, no new line.
  fake_now += 100;
  testutil::CaptureStdout();
  handler_->ClearWatchdogFile(path.c_str(), '8');
  EXPECT_EQ(testutil::GetCapturedStdout(), "");
  EXPECT_EQ(sv().ConsoleLastSeen[8], fake_now.load() - 100);
  // A new file of that console is life again.
  platform::ClearFaults();
  testutil::WriteFile(path, "renewed");
  testutil::CaptureStdout();
  handler_->ClearWatchdogFile(path.c_str(), '8');
  testutil::GetCapturedStdout();
  EXPECT_EQ(sv().ConsoleLastSeen[8], fake_now.load());
}

TEST_F(WatchdogTest, WarningThatCannotStartIsReportedAndSupervisionGoesOn) {
  sv().NeedOneConsole[1] = 1;
  SilentFor(1, 50);
  platform::InjectFault(platform::FaultPoint::kSpawn, EAGAIN, "QZA_WARN.CMD");
  testutil::CaptureStdout();
  handler_->CheckConsoles();
  EXPECT_EQ(testutil::GetCapturedStdout(),
            "launching [QZA_WARN.CMD]\r\n"
            "FAILED to launch [QZA_WARN.CMD]: Resource temporarily unavailable\r\n");
  EXPECT_EQ(sv().SupervisionActive.load(), 1);
}

TEST_F(WatchdogTest, CharacterThatIsNoDigitRecordsNothing) {
  testutil::TempDir dir;
  const std::string path = dir / "qza1kx.dog";
  testutil::WriteFile(path, "");
  int64_t before[kConsoleCount];
  for (int i = 0; i < kConsoleCount; ++i) before[i] = sv().ConsoleLastSeen[i] = i;
  testutil::CaptureStdout();
  handler_->ClearWatchdogFile(path.c_str(), 'x');
  EXPECT_NE(testutil::GetCapturedStdout().find("(from console x) cleared\n"),
            std::string::npos);
  for (int i = 0; i < kConsoleCount; ++i) EXPECT_EQ(sv().ConsoleLastSeen[i], before[i]);
  EXPECT_FALSE(testutil::FileExists(path));
}

}  // namespace

}  // namespace qza
