// The heartbeat file that a supervisor without systemd reads: which pings
// beat it, its interval, and what happens when it cannot be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>

#include "TestUtil.h"
#include "platform/SystemdNotify.h"

namespace qza {

namespace {

namespace fs = std::filesystem;

constexpr char kFile[] = "QZA_WDIR_HEARTBEAT";
constexpr char kMs[] = "QZA_WDIR_HEARTBEAT_MS";

class HeartbeatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::UnsetEnvironment("NOTIFY_SOCKET");
    testutil::UnsetEnvironment("WATCHDOG_USEC");
  }
  void TearDown() override {
    testutil::UnsetEnvironment(kFile);
    testutil::UnsetEnvironment(kMs);
  }
  // Gives the file a modification time an hour ago.
  static void MakeOld(const std::string& path) {
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
  }
  // Whether the file was modified within the last ten minutes.
  static bool Fresh(const std::string& path) {
    std::error_code error;
    const auto time = fs::last_write_time(path, error);
    return !error && fs::file_time_type::clock::now() - time < std::chrono::minutes(10);
  }

  testutil::TempDir dir_;
};

TEST_F(HeartbeatTest, PingIntervalComesFromTheEnvironmentWhenAFileIsNamed) {
  static const struct {
    const char* file;  // null: not set
    const char* ms;    // null: not set
    uint32_t ping_ms;
  } cases[] = {
      {nullptr, "500", 0},               // no heartbeat, no systemd: no pings
      {"", "500", 0},                    // an empty name names nothing
      {"beat", nullptr, 10000},          // the default
      {"beat", "500", 500},
      {"beat", "1", 1},
      {"beat", "3600000", 3600000},      // an hour, the longest
      {"beat", "3600001", 10000},        // longer: the default
      {"beat", "0", 10000},
      {"beat", "-5", 10000},
      {"beat", "5s", 10000},
      {"beat", "99999999999999999999", 10000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file ? c.file : "(unset)") + " " + (c.ms ? c.ms : "(unset)"));
    if (c.file) {
      testutil::SetEnvironment(kFile, dir_ / c.file);
      if (c.file[0] == '\0') testutil::SetEnvironment(kFile, "");
    } else {
      testutil::UnsetEnvironment(kFile);
    }
    if (c.ms) {
      testutil::SetEnvironment(kMs, c.ms);
    } else {
      testutil::UnsetEnvironment(kMs);
    }
    EXPECT_EQ(platform::WatchdogPingMs(), c.ping_ms);
  }
}

TEST_F(HeartbeatTest, ReadinessAndEachPingBeatTheFileStoppingDoesNot) {
  const std::string beat = dir_ / "qza_wdir.alive";
  testutil::SetEnvironment(kFile, beat);
  platform::NotifyReady();  // creates it
  ASSERT_TRUE(testutil::FileExists(beat));
  EXPECT_TRUE(Fresh(beat));
  static const struct {
    void (*report)();
    bool beats;
  } cases[] = {
      {&platform::NotifyWatchdog, true},
      {&platform::NotifyReady, true},
      {&platform::NotifyStopping, false},
  };
  for (const auto& c : cases) {
    MakeOld(beat);
    ASSERT_FALSE(Fresh(beat));
    c.report();
    EXPECT_EQ(Fresh(beat), c.beats);
  }
  EXPECT_EQ(testutil::ReadFile(beat), "");  // only its time changes
}

TEST_F(HeartbeatTest, WithoutANameNothingIsWritten) {
  platform::NotifyReady();
  platform::NotifyWatchdog();
  EXPECT_TRUE(fs::is_empty(dir_.path()));
}

// A heartbeat that cannot be written (its directory is gone) is reported once
// when it starts failing and once when it works again; the pings go on.
TEST_F(HeartbeatTest, LastingFailureIsReportedOnceAndSoIsTheRecovery) {
  const std::string beat = dir_ / "run/qza_wdir.alive";
  testutil::SetEnvironment(kFile, beat);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) platform::NotifyWatchdog();
  fs::create_directory(dir_ / "run");
  for (int i = 0; i < 3; ++i) platform::NotifyWatchdog();
  const std::string reported = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(Fresh(beat));
  const std::string failing = "qza_wdir: heartbeat " + beat + " cannot be written: ";
  ASSERT_EQ(reported.find(failing), 0u) << reported;
  EXPECT_EQ(reported.find(failing, 1), std::string::npos) << reported;
  EXPECT_NE(reported.find("qza_wdir: heartbeat " + beat + " is written again\n"),
            std::string::npos)
      << reported;
  EXPECT_EQ(std::count(reported.begin(), reported.end(), '\n'), 2) << reported;
}

#ifndef _WIN32
// Whoever can put a link at the name gains nothing: the link's target keeps
// its time, and the link itself is what a reader of the name finds stale.
TEST_F(HeartbeatTest, LinkAtTheNameIsNotFollowed) {
  const std::string target = dir_ / "target";
  testutil::WriteFile(target, "kept");
  MakeOld(target);
  fs::create_symlink(target, dir_ / "qza_wdir.alive");
  testutil::SetEnvironment(kFile, dir_ / "qza_wdir.alive");
  platform::NotifyWatchdog();
  EXPECT_FALSE(Fresh(target));
  EXPECT_EQ(testutil::ReadFile(target), "kept");
}
#endif

}  // namespace

}  // namespace qza
