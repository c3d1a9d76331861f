// The watch loop with a table of recording handlers: which handler gets which
// joined path, in which order, with which console; time-outs never scan.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "core/Configuration.h"
#include "watchdog/Watchdog.h"
#include "core/Pattern.h"
#include "core/WatchLoop.h"
#include "platform/Fault.h"
#include "platform/FileSystemKind.h"
#include "platform/Startup.h"

namespace {

std::vector<std::string>* calls = nullptr;

void RecordAlarm(const Settings&, const char* path, int console) {
  calls->push_back("alarm " + std::string(path) + " " + std::to_string(console));
}
void RecordFax(const Settings&, const char* path) { calls->push_back("fax " + std::string(path)); }
void RecordTts(const Settings&, const char* path) { calls->push_back("tts " + std::string(path)); }
void RecordWatchdog(const Settings&, const char* path, char console) {
  calls->push_back("dog " + std::string(path) + " " + console);
}
void RecordCheck(const Settings&) { calls->push_back("check"); }

const Handlers kRecording = {&RecordAlarm, &RecordFax, &RecordTts, &RecordWatchdog, &RecordCheck};

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

void Set(char (&field)[kPathSize], const std::string& value) {
  snprintf(field, kPathSize, "%s", value.c_str());
}

class WatchLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    calls = &calls_;
    g_settings = Settings();
    const std::string spool = dir_.path() + "/spool";
    testutil::MakeDirectory(spool);
    Set(g_settings.WatchPath, spool);
    Set(g_settings.JobPath, spool + "\\");
    Set(g_settings.TtsPath, spool);
    Set(g_settings.WatchFiles, spool + "/qza%ik?.in");
    Set(g_settings.WatchDogFiles, spool + "/qza%ik?.dog");
    Set(g_settings.WatchJobFiles, spool + "/qz*.job");
    Set(g_settings.WatchTtsFiles, spool + "/qz*.tts");
    g_settings.WaitForSec = 1;
    g_supervision.SupervisionActive = 0;
  }
  void TearDown() override { calls = nullptr; }
  std::string Spool() const { return dir_.path() + "/spool"; }
  std::vector<std::string> calls_;
  testutil::TempDir dir_;
};

TEST_F(WatchLoopTest, ScansTheFourKindsInOrderWithJoinedPaths) {
  WatchLoop loop(g_settings, kRecording);
  loop.Start();
  for (const char* name : {"qza1k7.dog", "qz1.tts", "qzfax.job", "qza1k3.in", "qza2k3.in"}) {
    testutil::WriteFile(Spool() + "/" + name, "");
  }
  loop.RunPass();
  const std::string s = Spool();
  EXPECT_EQ(calls_, (std::vector<std::string>{"alarm " + s + ".\\qza1k3.in 3",
                                              "fax " + s + "\\.\\qzfax.job",
                                              "tts " + s + ".\\qz1.tts",
                                              "dog " + s + ".\\qza1k7.dog 7"}));
}

TEST_F(WatchLoopTest, TwoDigitServerNumberGivesConsoleFiftyNine) {
  g_settings.Number = 12;
  WatchLoop loop(g_settings, kRecording);
  loop.Start();
  testutil::WriteFile(Spool() + "/qza12k3.in", "");
  loop.RunPass();
  EXPECT_EQ(calls_, (std::vector<std::string>{"alarm " + Spool() + ".\\qza12k3.in 59"}));
}

TEST_F(WatchLoopTest, TimeoutScansThenChecksConsoles) {
  testutil::WriteFile(Spool() + "/qza1k3.in", "");  // present before the notification
  g_supervision.SupervisionActive = 1;
  WatchLoop loop(g_settings, kRecording);
  loop.Start();
  testutil::CaptureStdout();
  loop.RunPass();
  EXPECT_EQ(testutil::GetCapturedStdout(), "Timeout\n");
  EXPECT_EQ(calls_, (std::vector<std::string>{"alarm " + Spool() + ".\\qza1k3.in 3", "check"}));
}

TEST_F(WatchLoopTest, PollingFindsAFileThatNoNotificationReports) {
  g_settings.PollSec = 1;
  g_settings.WaitForSec = 30;
  platform::InjectFault(platform::FaultPoint::kNotify, ENOSYS);
  static std::atomic<bool> handled{false};
  handled = false;
  Handlers stop_at_fax = kRecording;
  stop_at_fax.fax = [](const Settings&, const char*) {
    handled = true;
    platform::RequestStop();  // ends the wait long before WaitForSec
  };
  WatchLoop loop(g_settings, stop_at_fax);
  loop.Start();
  testutil::CaptureStdout();
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    testutil::WriteFile(Spool() + "/qz1.job", "");
  });
  loop.RunPass();
  writer.join();
  platform::ClearFaults();
  platform::ResetStopRequest();
  EXPECT_TRUE(handled);
  EXPECT_EQ(testutil::GetCapturedStdout(), "");  // neither Event nor Timeout
}

// A time-out offers again the spool files still in WatchPath (left there by
// their handlers), by name, and not those that have left: it does not list a
// directory that holds every archive ever made. Listing fails here to show it.
TEST_F(WatchLoopTest, TimeoutOffersTheFilesStillPresentWithoutListing) {
  WatchLoop loop(g_settings, kRecording);
  loop.Start();
  loop.FirstPass();
  const std::string s = Spool();
  for (const char* name : {"qza1k3.in", "qz1.job", "qz2.job", "other.txt"}) {
    testutil::WriteFile(s + "/" + name, "");
  }
  testutil::CaptureStdout();
  loop.RunPass();
  ASSERT_TRUE(testutil::RemoveFile(s + "/qz1.job"));
  platform::InjectFault(platform::FaultPoint::kList, EIO);
  loop.RunPass();
  platform::ClearFaults();
  EXPECT_EQ(testutil::GetCapturedStdout(), "Event\nTimeout\n");
  EXPECT_EQ(calls_, (std::vector<std::string>{
                        "alarm " + s + ".\\qza1k3.in 3", "fax " + s + "\\.\\qz1.job",
                        "fax " + s + "\\.\\qz2.job",
                        // the time-out
                        "alarm " + s + ".\\qza1k3.in 3", "fax " + s + "\\.\\qz2.job"}));
}

// Where the names present are not known for sure, a time-out lists: after a
// listing that failed (the spool must not look empty), and after the watched
// directory was replaced by another whose files no event told of.
TEST_F(WatchLoopTest, TimeoutListsWhereTheNamesPresentAreNotKnown) {
  struct Case {
    const char* what;
    bool list_fails_at_start;
    bool replace_directory;
  } const cases[] = {
      {"the first listing failed", true, false},
      {"the watched directory was replaced", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.replace_directory && testutil::kWindows) {
      continue;  // a watched directory cannot be renamed away on Windows
    }
    calls_.clear();
    const std::string s = Spool();
    if (c.list_fails_at_start) testutil::WriteFile(s + "/qza1k3.in", "");
    WatchLoop loop(g_settings, kRecording);
    loop.Start();
    if (c.list_fails_at_start) platform::InjectFault(platform::FaultPoint::kList, EMFILE);
    loop.FirstPass();
    platform::ClearFaults();
    EXPECT_TRUE(calls_.empty());
    if (c.replace_directory) {
      ASSERT_EQ(std::rename(s.c_str(), (dir_ / "old").c_str()), 0);
      ASSERT_TRUE(testutil::MakeDirectory(s));
      testutil::WriteFile(s + "/qza1k3.in", "");
    }
    testutil::CaptureStdout();
    loop.RunPass();
    EXPECT_EQ(testutil::GetCapturedStdout(), "Timeout\n");
    EXPECT_EQ(calls_, (std::vector<std::string>{"alarm " + s + ".\\qza1k3.in 3"}));
    ASSERT_TRUE(testutil::RemoveFile(s + "/qza1k3.in"));
  }
}

TEST(RemoteFileSystem, NetworkAndFuseTypesAreNamedLocalOnesAreNot) {
  static const struct {
    uint64_t type;
    const char* name;
  } cases[] = {{0x6969, "nfs"},          {0xFF534D42, "cifs"}, {0xFE534D42, "smb2"},
               {0x517B, "smb"},          {0x65735546, "fuse"}, {0xEF53, nullptr},  // ext4
               {0x58465342, nullptr},    {0x01021994, nullptr}};                 // xfs, tmpfs
  for (const auto& c : cases) {
    const char* name = platform::RemoteFileSystemName(c.type);
    EXPECT_STREQ(name, c.name) << std::hex << c.type;
  }
  EXPECT_EQ(platform::RemoteFileSystemOf("/tmp"), nullptr);
}

TEST_F(WatchLoopTest, FirstPassScansWithoutWaitingOrPrinting) {
  testutil::WriteFile(Spool() + "/qz1.job", "");
  WatchLoop loop(g_settings, kRecording);
  loop.Start();
  testutil::CaptureStdout();
  loop.FirstPass();
  EXPECT_EQ(testutil::GetCapturedStdout(), "");
  EXPECT_EQ(calls_, (std::vector<std::string>{"fax " + Spool() + "\\.\\qz1.job"}));
}

TEST_F(WatchLoopTest, EntriesThatAreNoSpoolFilesArePassedOverOnceEach) {
  if (testutil::kWindows) {
    GTEST_SKIP() << "Windows has no FIFOs, and its names hold no backslash or control character";
  }
  const std::string spool = Spool();
  testutil::WriteFile(dir_ / "secret", "x");
  ASSERT_TRUE(testutil::MakeSymlink(dir_ / "secret", spool + "/qz1.job"));
  ASSERT_TRUE(testutil::MakeFifo(spool + "/qz2.job"));
  testutil::WriteFile(spool + "/qz3\\x.job", "");
  testutil::WriteFile(spool + "/qz4\x1b[2J.job", "");
  testutil::MakeDirectory(spool + "/qz5.job");  // a directory: passed over silently
  testutil::WriteFile(spool + "/qz6.job", "");
  WatchLoop loop(g_settings, kRecording);
  loop.Start();
  testutil::CaptureStdout();
  loop.FirstPass();
  loop.FirstPass();
  const std::string output = testutil::GetCapturedStdout();
  EXPECT_EQ(calls_, (std::vector<std::string>{"fax " + spool + "\\.\\qz6.job",
                                              "fax " + spool + "\\.\\qz6.job"}));
  const std::string prefix = "Spool entry '" + spool + "/";
  for (const std::string& line :
       {prefix + "qz1.job' passed over: a symbolic link\r\n",
        prefix + "qz2.job' passed over: not a regular file\r\n",
        prefix + "qz3\\x.job' passed over: a backslash in its name\r\n",
        prefix + "qz4?[2J.job' passed over: a control character in its name\r\n"}) {
    EXPECT_EQ(Occurrences(output, line), 1u) << line << output;
  }
  EXPECT_EQ(output.find("qz5"), std::string::npos);
}

TEST_F(WatchLoopTest, FileWrittenDuringTheScansEndsTheNextWaitAtOnce) {
  WatchLoop loop(g_settings, kRecording);
  loop.Start();
  testutil::WriteFile(Spool() + "/qz1.job", "");
  testutil::CaptureStdout();
  loop.RunPass();
  testutil::WriteFile(Spool() + "/qz2.job", "");  // as a handler writing into WatchPath
  g_settings.WaitForSec = 30;
  loop.RunPass();  // must not wait 30 seconds
  EXPECT_EQ(testutil::GetCapturedStdout(), "Event\nEvent\n");
  // Each pass handles the names that changed: qz1, then qz2 alone.
  EXPECT_EQ(calls_, (std::vector<std::string>{"fax " + Spool() + "\\.\\qz1.job",
                                              "fax " + Spool() + "\\.\\qz2.job"}));
}

TEST_F(WatchLoopTest, OverlongJoinedPathIsSkippedWithAMessage) {
  const std::string name = "qz" + std::string(200, 'x') + ".job";
  testutil::WriteFile(Spool() + "/" + name, "");
  testutil::WriteFile(Spool() + "/qz1.job", "");
  WatchLoop loop(g_settings, kRecording);
  g_settings.WaitForSec = 0;
  loop.Start();
  testutil::WriteFile(Spool() + "/qz2.job", "");
  testutil::CaptureStdout();
  loop.RunPass();
  const std::string output = testutil::GetCapturedStdout();
  EXPECT_NE(output.find("Path longer than 127 characters, file skipped: " + Spool() +
                        "\\.\\" + name + "\r\n"),
            std::string::npos);
  EXPECT_EQ(calls_.size(), 2u);
}

TEST(ConsoleList, ParsesAsStrtokAndAtoi) {
  static const struct {
    const char* text;
    std::vector<int> set;
  } cases[] = {
      {"1, 3,12,0,x", {1, 3}}, {"0", {}},     {" , ,", {}}, {"", {}},
      {"9 -2 +4 5x", {4, 5, 9}}, {"10,11", {}}, {"2,2", {2}},
  };
  for (const auto& c : cases) {
    int flags[kConsoleCount] = {};
    ParseConsoleList(c.text, flags);
    std::vector<int> set;
    for (int i = 0; i < kConsoleCount; ++i) {
      if (flags[i]) set.push_back(i);
    }
    EXPECT_EQ(set, c.set) << c.text;
  }
}

TEST(ServerPattern, AcceptsOnlyOneIntegerConversion) {
  static const struct {
    const char* pattern;
    bool safe;
  } cases[] = {
      {"\\qzt\\start\\qza%ik?.in", true}, {"qza%dk?.in", true},   {"qza%02ik?.in", false},
      {"qza%-3.2dk?.in", false},          {"100%%qza%ik", true},  {"no conversion", true},
      {"qza%sk?.in", false},              {"qza%i%ik", false},    {"qza%*dk", false},
      {"qza%lik", false},                 {"qza%nk", false},      {"trailing %", false},
      {"qza%xk", false},
      // Flags alone cost nothing; a width or precision could cost seconds.
      {"qza%+0ik", true},                 {"qza%999999999ik", false},
      {"qza%.999999999dk", false},        {"qza%-.dk", false},    {"qza%0i%%", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsServerNumberFormat(c.pattern), c.safe) << c.pattern;
  }
  char out[kPathSize];
  EXPECT_TRUE(FormatServerPattern("\\qzt\\start\\qza%ik?.in", 1, out, sizeof out));
  EXPECT_STREQ(out, "\\qzt\\start\\qza1k?.in");
  const std::string long_pattern = std::string(125, 'p') + "%i";
  EXPECT_FALSE(FormatServerPattern(long_pattern.c_str(), 12345, out, sizeof out));
  EXPECT_STREQ(out, "");
}

}  // namespace
