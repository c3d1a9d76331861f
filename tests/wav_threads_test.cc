// The WAV threads run synchronously here, with the 500 ms sleep replaced by a
// hook, so that their 100-second waits take milliseconds.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>

#include "TestUtil.h"
#include "core/Settings.h"
#include "platform/Clock.h"
#include "tts/WavThreads.h"

namespace {

std::atomic<int> sleeps{0};
std::function<void(int)> on_sleep;  // called with the number of sleeps so far
void HookedSleep(uint32_t) {
  ++sleeps;
  if (on_sleep) on_sleep(sleeps);
}

char* HeapCopy(const std::string& text) {
  char* copy = new char[text.size() + 1];
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

bool Immutable(const std::string& path, bool on) {
  return system(("chattr " + std::string(on ? "+i " : "-i ") + path + " 2>/dev/null").c_str()) ==
         0;
}

class WavThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sleeps = 0;
    on_sleep = nullptr;
    platform::SetSleep(&HookedSleep);
    mkdir(Svox().c_str(), 0755);
    mkdir(Sounds().c_str(), 0755);
    std::snprintf(g_settings.SvoxPath, kPathSize, "%s\\", Svox().c_str());
  }
  void TearDown() override {
    platform::SetSleep(nullptr);
    on_sleep = nullptr;
    Immutable(Sounds(), false);
  }
  std::string Svox() const { return dir_ / "svox"; }
  std::string Sounds() const { return dir_ / "sounds"; }
  std::string Target() const { return Sounds() + ".\\hello.wav"; }
  std::string Move() {
    testing::internal::CaptureStdout();
    MoveWavThread(HeapCopy(Target()));
    return testing::internal::GetCapturedStdout();
  }
  std::string Delete(const std::string& path) {
    testing::internal::CaptureStdout();
    DeleteWavThread(HeapCopy(path));
    return testing::internal::GetCapturedStdout();
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
  std::snprintf(g_settings.SvoxPath, kPathSize, "%s", Svox().c_str());
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
  if (!Immutable(Sounds(), true)) GTEST_SKIP() << "no immutable directories here";
  on_sleep = [&](int count) {
    if (count == 3) Immutable(Sounds(), false);
  };
  EXPECT_EQ(Move(), "Successfully moved " + Svox() + "\\hello.wav to " + Target() + "\r\n\n");
  EXPECT_EQ(sleeps, 3);
  EXPECT_EQ(testutil::ReadFile(Sounds() + "/hello.wav"), "RIFF new");
}

TEST_F(WavThreadsTest, CopyThatNeverSucceedsIsTriedTwoHundredAndTwoTimes) {
  testutil::WriteFile(Svox() + "/hello.wav", "RIFF new");
  if (!Immutable(Sounds(), true)) GTEST_SKIP() << "no immutable directories here";
  EXPECT_EQ(Move(), "Failed to create wavfile: " + Target() + " (Failed to copy)\n");
  EXPECT_EQ(sleeps, 200);  // two attempts at once, then 200 waits and attempts
  EXPECT_TRUE(testutil::FileExists(Svox() + "/hello.wav"));
}

TEST_F(WavThreadsTest, DeletionThatSucceedsOnARetry) {
  testutil::WriteFile(Sounds() + "/old.wav", "RIFF");
  if (!Immutable(Sounds(), true)) GTEST_SKIP() << "no immutable directories here";
  on_sleep = [&](int count) {
    if (count == 2) Immutable(Sounds(), false);
  };
  const std::string path = Sounds() + ".\\old.wav";
  EXPECT_EQ(Delete(path), "Wavfile " + path + " deleted\r\n\n");
  EXPECT_FALSE(testutil::FileExists(Sounds() + "/old.wav"));
}

TEST_F(WavThreadsTest, DeletionThatNeverSucceeds) {
  testutil::WriteFile(Sounds() + "/old.wav", "RIFF");
  if (!Immutable(Sounds(), true)) GTEST_SKIP() << "no immutable directories here";
  const std::string path = Sounds() + ".\\old.wav";
  EXPECT_EQ(Delete(path), "Failed to delete wavfile: " + path + "\n");
  EXPECT_EQ(sleeps, 200);
}

TEST_F(WavThreadsTest, DeletionOfAMissingFilePrintsNothing) {
  EXPECT_EQ(Delete(Sounds() + ".\\missing.wav"), "");
  EXPECT_EQ(sleeps, 0);
}

}  // namespace
