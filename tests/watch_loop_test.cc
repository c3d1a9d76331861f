// The watch loop with a table of recording handlers: which handler gets which
// joined path, in which order, with which console; time-outs never scan.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "watchdog/Watchdog.h"
#include "settings/SpoolHandler.h"
#include "core/Pattern.h"
#include "core/WatchLoop.h"
#include "platform/Fault.h"
#include "platform/FileSystemKind.h"
#include "platform/Startup.h"

namespace qza {

namespace {

// A handler of one kind that notes each call in `calls`, with the console
// digit of the name as the alarm and watchdog files give it; "check" after
// each pass while `checking`.
class Recorder : public SpoolHandler {
 public:
  Recorder(const char* kind, std::vector<std::string>* calls) : kind_(kind), calls_(calls) {}
  void Handle(const char* path, const char* name) override {
    const char sixth = std::strlen(name) > 5 ? name[5] : '\0';
    std::string line = kind_ + " " + path;
    if (kind_ == "alarm") line.append(" ").append(std::to_string(static_cast<signed char>(sixth) - '0'));
    if (kind_ == "dog") line.append(" ").push_back(sixth);
    calls_->push_back(line);
    if (on_handle) on_handle();
  }
  void AfterPass() override {
    if (checking) calls_->push_back("check");
  }
  bool checking = false;
  std::function<void()> on_handle;

 private:
  std::string kind_;
  std::vector<std::string>* calls_;
};

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
    const std::string spool = dir_.path() + "/spool";
    testutil::MakeDirectory(spool);
    Set(settings_.WatchPath, spool);
    Set(settings_.JobPath, spool + "\\");
    Set(settings_.TtsPath, spool);
    Set(settings_.WatchFiles, spool + "/qza%ik?.in");
    Set(settings_.WatchDogFiles, spool + "/qza%ik?.dog");
    Set(settings_.WatchJobFiles, spool + "/qz*.job");
    Set(settings_.WatchTtsFiles, spool + "/qz*.tts");
    settings_.WaitForSec = 1;
  }
  std::string Spool() const { return dir_.path() + "/spool"; }
  Settings settings_;
  std::vector<std::string> calls_;
  Recorder alarm_{"alarm", &calls_};
  Recorder fax_{"fax", &calls_};
  Recorder tts_{"tts", &calls_};
  Recorder dog_{"dog", &calls_};
  Handlers kRecording{&alarm_, &fax_, &tts_, &dog_};
  testutil::TempDir dir_;
};

TEST_F(WatchLoopTest, ScansTheFourKindsInOrderWithJoinedPaths) {
  WatchLoop loop(settings_, kRecording);
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
  settings_.Number = 12;
  WatchLoop loop(settings_, kRecording);
  loop.Start();
  testutil::WriteFile(Spool() + "/qza12k3.in", "");
  loop.RunPass();
  EXPECT_EQ(calls_, (std::vector<std::string>{"alarm " + Spool() + ".\\qza12k3.in 59"}));
}

TEST_F(WatchLoopTest, TimeoutScansThenChecksConsoles) {
  testutil::WriteFile(Spool() + "/qza1k3.in", "");  // present before the notification
  dog_.checking = true;
  WatchLoop loop(settings_, kRecording);
  loop.Start();
  testutil::CaptureStdout();
  loop.RunPass();
  EXPECT_EQ(testutil::GetCapturedStdout(), "Timeout\n");
  EXPECT_EQ(calls_, (std::vector<std::string>{"alarm " + Spool() + ".\\qza1k3.in 3", "check"}));
}

TEST_F(WatchLoopTest, PollingFindsAFileThatNoNotificationReports) {
  settings_.PollSec = 1;
  settings_.WaitForSec = 30;
  platform::InjectFault(platform::FaultPoint::kNotify, ENOSYS);
  static std::atomic<bool> handled{false};
  handled = false;
  fax_.on_handle = [] {
    handled = true;
    platform::RequestStop();  // ends the wait long before WaitForSec
  };
  WatchLoop loop(settings_, kRecording);
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
  WatchLoop loop(settings_, kRecording);
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

// Where the names present are not known for sure, the next pass lists: a
// time-out after a listing that failed (the spool must not look empty), and
// the pass that watches a replaced directory again, whose files no event told
// of.
TEST_F(WatchLoopTest, TimeoutListsWhereTheNamesPresentAreNotKnown) {
  struct Case {
    const char* what;
    bool list_fails_at_start;
    bool replace_directory;
    bool watched_again;  // the pass is the one that watches the directory again
  } const cases[] = {
      {"the first listing failed", true, false, false},
      {"the watched directory was replaced", false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.replace_directory && testutil::kWindows) {
      continue;  // a watched directory cannot be renamed away on Windows
    }
    calls_.clear();
    const std::string s = Spool();
    if (c.list_fails_at_start) testutil::WriteFile(s + "/qza1k3.in", "");
    WatchLoop loop(settings_, kRecording);
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
    EXPECT_EQ(testutil::GetCapturedStdout(),
              c.watched_again ? s + " is back: watching it again\nEvent\n" : "Timeout\n");
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
  WatchLoop loop(settings_, kRecording);
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
  WatchLoop loop(settings_, kRecording);
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
  WatchLoop loop(settings_, kRecording);
  loop.Start();
  testutil::WriteFile(Spool() + "/qz1.job", "");
  testutil::CaptureStdout();
  loop.RunPass();
  testutil::WriteFile(Spool() + "/qz2.job", "");  // as a handler writing into WatchPath
  settings_.WaitForSec = 30;
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
  WatchLoop loop(settings_, kRecording);
  settings_.WaitForSec = 0;
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

}  // namespace qza
