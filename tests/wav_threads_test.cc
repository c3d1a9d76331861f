// Publishing and deleting run synchronously here, with the 500 ms sleep
// replaced by a hook, so that their 100-second waits take milliseconds; the
// worker tests run them through the one background worker.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstring>
#include <functional>
#include <string>

#include "TestUtil.h"
#include "settings/Settings.h"
#include "platform/Clock.h"
#include "platform/Fault.h"
#include "tts/WavThreads.h"

namespace qza {

namespace {

std::atomic<int> sleeps{0};
std::function<void(int)> on_sleep;  // called with the number of sleeps so far
void HookedSleep(uint32_t) {
  ++sleeps;
  if (on_sleep) on_sleep(sleeps);
}

class WavThreadsTest : public ::testing::Test {
 protected:
  Settings settings_;
  void SetUp() override {
    sleeps = 0;
    on_sleep = nullptr;
    platform::SetSleep(&HookedSleep);
    testutil::MakeDirectory(Svox());
    testutil::MakeDirectory(Sounds());
    std::snprintf(settings_.SvoxPath, kPathSize, "%s\\", Svox().c_str());
  }
  void TearDown() override {
    platform::SetSleep(nullptr);
    platform::ClearFaults();
    on_sleep = nullptr;
  }
  std::string Svox() const { return dir_ / "svox"; }
  std::string Sounds() const { return dir_ / "sounds"; }
  std::string Target() const { return Sounds() + ".\\hello.wav"; }
  // The sounds directory refuses new files and deletions, as a directory
  // without write permission does for every user: the copy cannot create its
  // file beside the target, and no file in it can be deleted. Until
  // ClearFaults.
  void LockSounds() {
    platform::InjectFault(platform::FaultPoint::kOpen, EPERM, "sounds.\\hello.wav");
    platform::InjectFault(platform::FaultPoint::kUnlink, EPERM, "sounds.\\");
  }
  std::string Move() {
    testutil::CaptureStdout();
    PublishWav(settings_.SvoxPath, Target(), "hello");
    return testutil::GetCapturedStdout();
  }
  std::string Delete(const std::string& path) {
    testutil::CaptureStdout();
    DeleteWav(path);
    return testutil::GetCapturedStdout();
  }
  testutil::TempDir dir_;
};

TEST_F(WavThreadsTest, PublishesTheOutputAndRemovesItsFiles) {
  testutil::WriteFile(Svox() + "/hello.wav", "RIFF new");
  testutil::WriteFile(Svox() + "/hello.txt", "Hello");
  testutil::WriteFile(Sounds() + "/hello.wav", "RIFF old");
  EXPECT_EQ(Move(), "Successfully moved " + Svox() + "\\hello.wav to " + Target() + "\r\n\n");
  EXPECT_EQ(testutil::ReadFile(Sounds() + "/hello.wav"), "RIFF new");
  EXPECT_FALSE(testutil::FileExists(Svox() + "/hello.wav"));
  EXPECT_FALSE(testutil::FileExists(Svox() + "/hello.txt"));
  EXPECT_EQ(sleeps, 0);
}

TEST_F(WavThreadsTest, SvoxPathWithoutSeparatorIsJoinedAsTheJobJoinsIt) {
  std::snprintf(settings_.SvoxPath, kPathSize, "%s", Svox().c_str());
  testutil::WriteFile(Svox() + "/hello.wav", "RIFF");
  EXPECT_EQ(Move(), "Successfully moved " + Svox() + ".\\hello.wav to " + Target() + "\r\n\n");
  EXPECT_EQ(testutil::ReadFile(Sounds() + "/hello.wav"), "RIFF");
}

TEST_F(WavThreadsTest, MissingOutputFailsAfterTwoHundredWaits) {
  testutil::WriteFile(Svox() + "/hello.txt", "Hello");
  EXPECT_EQ(Move(), "Failed to create wavfile: " + Target() + " (No tmpfile created)\n");
  EXPECT_EQ(sleeps, 200);
  EXPECT_TRUE(testutil::FileExists(Svox() + "/hello.txt"));
}

TEST_F(WavThreadsTest, ReadOnlyTargetIsNeverReplaced) {
  testutil::WriteFile(Svox() + "/hello.wav", "RIFF new");
  testutil::WriteFile(Sounds() + "/hello.wav", "RIFF old");
  chmod((Sounds() + "/hello.wav").c_str(), 0444);
  EXPECT_EQ(Move(),
            "Failed to create wavfile: " + Target() + " (Old wavfile can not be deleted)\n");
  EXPECT_EQ(sleeps, 200);
  EXPECT_EQ(testutil::ReadFile(Sounds() + "/hello.wav"), "RIFF old");
  EXPECT_TRUE(testutil::FileExists(Svox() + "/hello.wav"));
}

TEST_F(WavThreadsTest, CopyThatFailsAndThenSucceedsPrintsOnlySuccess) {
  testutil::WriteFile(Svox() + "/hello.wav", "RIFF new");
  LockSounds();
  on_sleep = [&](int count) {
    if (count == 3) platform::ClearFaults();
  };
  EXPECT_EQ(Move(), "Successfully moved " + Svox() + "\\hello.wav to " + Target() + "\r\n\n");
  EXPECT_EQ(sleeps, 3);
  EXPECT_EQ(testutil::ReadFile(Sounds() + "/hello.wav"), "RIFF new");
}

TEST_F(WavThreadsTest, CopyThatNeverSucceedsIsTriedTwoHundredAndTwoTimes) {
  testutil::WriteFile(Svox() + "/hello.wav", "RIFF new");
  LockSounds();
  EXPECT_EQ(Move(), "Failed to create wavfile: " + Target() + " (Failed to copy)\n");
  EXPECT_EQ(sleeps, 200);  // two attempts at once, then 200 waits and attempts
  EXPECT_TRUE(testutil::FileExists(Svox() + "/hello.wav"));
}

TEST_F(WavThreadsTest, DeletionThatSucceedsOnARetry) {
  testutil::WriteFile(Sounds() + "/old.wav", "RIFF");
  LockSounds();
  on_sleep = [&](int count) {
    if (count == 2) platform::ClearFaults();
  };
  const std::string path = Sounds() + ".\\old.wav";
  EXPECT_EQ(Delete(path), "Wavfile " + path + " deleted\r\n\n");
  EXPECT_FALSE(testutil::FileExists(Sounds() + "/old.wav"));
}

TEST_F(WavThreadsTest, DeletionThatNeverSucceeds) {
  testutil::WriteFile(Sounds() + "/old.wav", "RIFF");
  LockSounds();
  const std::string path = Sounds() + ".\\old.wav";
  EXPECT_EQ(Delete(path), "Failed to delete wavfile: " + path + "\n");
  EXPECT_EQ(sleeps, 200);
  EXPECT_TRUE(testutil::FileExists(Sounds() + "/old.wav"));
}

TEST_F(WavThreadsTest, DeletionOfAMissingFilePrintsNothing) {
  EXPECT_EQ(Delete(Sounds() + ".\\missing.wav"), "");
  EXPECT_EQ(sleeps, 0);
}

TEST_F(WavThreadsTest, CopyIsTriedTwiceAtOnceThenAfterEachOfTwoHundredWaits) {
  // Each copy attempt opens the target once; a counted fault fails that many.
  static const struct {
    int failing_copies;
    bool published;
    int sleeps;
  } cases[] = {{0, true, 0}, {1, true, 0}, {2, true, 1}, {201, true, 200}, {202, false, 200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing_copies);
    sleeps = 0;
    testutil::WriteFile(Svox() + "/hello.wav", "RIFF new");
    testutil::WriteFile(Sounds() + "/hello.wav", "RIFF old");
    if (c.failing_copies > 0) {
      platform::InjectFault(platform::FaultPoint::kOpen, EACCES, "sounds.\\hello.wav",
                            c.failing_copies);
    }
    const std::string printed = Move();
    platform::ClearFaults();
    EXPECT_EQ(sleeps, c.sleeps);
    if (c.published) {
      EXPECT_EQ(printed, "Successfully moved " + Svox() + "\\hello.wav to " + Target() + "\r\n\n");
      EXPECT_EQ(testutil::ReadFile(Sounds() + "/hello.wav"), "RIFF new");
    } else {
      EXPECT_EQ(printed, "Failed to create wavfile: " + Target() + " (Failed to copy)\n");
      EXPECT_EQ(testutil::ReadFile(Sounds() + "/hello.wav"), "RIFF old");  // never deleted first
      EXPECT_TRUE(testutil::FileExists(Svox() + "/hello.wav"));
    }
  }
}

TEST_F(WavThreadsTest, LinkAtTheTargetIsReplacedNotFollowed) {
  if (testutil::kWindows) GTEST_SKIP() << "symbolic links need a privilege on Windows";
  testutil::WriteFile(dir_ / "victim", "secret");
  ASSERT_TRUE(testutil::MakeSymlink(dir_ / "victim", Sounds() + "/hello.wav"));
  testutil::WriteFile(Svox() + "/hello.wav", "RIFF new");
  EXPECT_EQ(Move(), "Successfully moved " + Svox() + "\\hello.wav to " + Target() + "\r\n\n");
  EXPECT_EQ(testutil::ReadFile(dir_ / "victim"), "secret");
  EXPECT_FALSE(testutil::IsSymlink(Sounds() + "/hello.wav"));
  EXPECT_EQ(testutil::ReadFile(Sounds() + "/hello.wav"), "RIFF new");
}

TEST_F(WavThreadsTest, PublishingUsesTheNameItIsGivenAndKeepsTheTargetName) {
  testutil::WriteFile(Svox() + "/hello~2.wav", "RIFF second");
  testutil::WriteFile(Svox() + "/hello~2.txt", "second");
  testutil::WriteFile(Svox() + "/hello.wav", "RIFF first");
  testutil::CaptureStdout();
  PublishWav(settings_.SvoxPath, Target(), "hello~2");
  EXPECT_EQ(testutil::GetCapturedStdout(),
            "Successfully moved " + Svox() + "\\hello~2.wav to " + Target() + "\r\n\n");
  EXPECT_EQ(testutil::ReadFile(Sounds() + "/hello.wav"), "RIFF second");
  EXPECT_FALSE(testutil::FileExists(Svox() + "/hello~2.txt"));
  EXPECT_EQ(testutil::ReadFile(Svox() + "/hello.wav"), "RIFF first");  // another entry's
}

// A worker of the test's own, pausing 100 ms between attempts (20 s before a
// task gives up, time enough on a loaded machine); each test leaves
// it idle.
class WavWorkerTest : public WavThreadsTest {
 protected:
  void TearDown() override {
    platform::ClearFaults();
    EXPECT_TRUE(testutil::WaitFor([this] { return worker_.Idle(); }));
    WavThreadsTest::TearDown();
  }
  std::string Sound(int n) const { return Sounds() + "/old" + std::to_string(n) + ".wav"; }
  std::string SoundPath(int n) const { return Sounds() + ".\\old" + std::to_string(n) + ".wav"; }
  std::string Output(const std::string& name) const { return Svox() + "/" + name + ".wav"; }
  WavTask Publish(const std::string& name) const {
    return {WavTask::Kind::kPublish, Sounds() + ".\\" + name + ".wav", name, settings_.SvoxPath};
  }
  WavWorker worker_{100};
};

TEST_F(WavWorkerTest, RunsQueuedTasksInOrder) {
  testutil::WriteFile(Svox() + "/hello.wav", "RIFF new");
  testutil::WriteFile(Sound(1), "RIFF");
  testutil::WriteFile(Sound(2), "RIFF");
  testutil::CaptureStdout();
  ASSERT_TRUE(worker_.Queue({WavTask::Kind::kDelete, SoundPath(1), ""}));
  ASSERT_TRUE(worker_.Queue({WavTask::Kind::kPublish, Target(), "hello", settings_.SvoxPath}));
  ASSERT_TRUE(worker_.Queue({WavTask::Kind::kDelete, SoundPath(2), ""}));
  ASSERT_TRUE(testutil::WaitFor([this] { return worker_.Idle(); }));
  EXPECT_EQ(testutil::GetCapturedStdout(),
            "Wavfile " + SoundPath(1) + " deleted\r\n\n"
            "Successfully moved " + Svox() + "\\hello.wav to " + Target() + "\r\n\n"
            "Wavfile " + SoundPath(2) + " deleted\r\n\n");
  EXPECT_EQ(testutil::ReadFile(Sounds() + "/hello.wav"), "RIFF new");
  EXPECT_FALSE(testutil::FileExists(Sound(1)));
  EXPECT_FALSE(testutil::FileExists(Sound(2)));
}

// A deletion that keeps failing is tried again in the background while the
// tasks queued after it are done.
TEST_F(WavWorkerTest, StuckTargetDelaysNoLaterTask) {
  testutil::WriteFile(Sound(0), "RIFF");
  testutil::WriteFile(Output("hello"), "RIFF new");
  platform::InjectFault(platform::FaultPoint::kUnlink, EBUSY, "old0.wav");
  testutil::CaptureStdout();
  ASSERT_TRUE(worker_.Queue({WavTask::Kind::kDelete, SoundPath(0), ""}));
  ASSERT_TRUE(worker_.Queue(Publish("hello")));
  ASSERT_TRUE(testutil::WaitFor([&] { return testutil::FileExists(Sounds() + "/hello.wav"); }));
  EXPECT_TRUE(testutil::FileExists(Sound(0)));
  EXPECT_FALSE(worker_.Idle());  // the deletion still retries
  platform::ClearFaults();
  ASSERT_TRUE(testutil::WaitFor([this] { return worker_.Idle(); }));
  EXPECT_EQ(testutil::GetCapturedStdout(),
            "Successfully moved " + Svox() + "\\hello.wav to " + Sounds() + ".\\hello.wav\r\n\n"
            "Wavfile " + SoundPath(0) + " deleted\r\n\n");
  EXPECT_FALSE(testutil::FileExists(Sound(0)));
}

// Retrying tasks hold their places: the queue refuses the task past its
// capacity, and the synthesiser names stay taken until published.
TEST_F(WavWorkerTest, FullQueueRefusesTheNextTaskAndNamesAreHeldUntilPublished) {
  testutil::CaptureStdout();
  for (size_t n = 0; n < kWavQueueCapacity; ++n) {  // no output yet: each retries
    ASSERT_TRUE(worker_.HasRoom());
    ASSERT_TRUE(worker_.Queue(Publish(std::string("s").append(std::to_string(n)))));
  }
  // The worker keeps retrying, and a task in its hand is not in the queue:
  // while it holds one, one more task fits. The next one is refused.
  size_t queued = kWavQueueCapacity;
  while (queued <= kWavQueueCapacity + 1 && worker_.Queue(Publish("s" + std::to_string(queued)))) {
    ++queued;
  }
  EXPECT_LE(queued, kWavQueueCapacity + 1);
  EXPECT_TRUE(worker_.SvoxNameInUse("s0"));
  EXPECT_FALSE(worker_.SvoxNameInUse("s"));
  for (size_t n = 0; n < queued; ++n) {
    testutil::WriteFile(Output("s" + std::to_string(n)), "RIFF");
  }
  ASSERT_TRUE(testutil::WaitFor([this] { return worker_.Idle(); }));
  const std::string printed = testutil::GetCapturedStdout();
  EXPECT_EQ(printed.find("Failed"), std::string::npos) << printed;
  EXPECT_TRUE(testutil::FileExists(Sounds() + "/s199.wav"));
  EXPECT_FALSE(worker_.SvoxNameInUse("s0"));
  EXPECT_TRUE(worker_.HasRoom());
}

}  // namespace

}  // namespace qza
