// The watcher core as a whole: start-up output, configuration written back,
// single instance, time-outs, a watch directory that appears late, refused
// patterns.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "system/ServiceFixture.h"

namespace qza {

namespace systemtest {
namespace {

const char kConfigurationLines[] =
    "from qza_wdir.ini:\n"
    " Server/NeedOneConsOf=\n"
    " Server/NeedAllConsOf=\n"
    " Pathnames/WatchPath=spool/\n"
    " Pathnames/AckPath=ack/\n"
    " Pathnames/WatchFiles=spool/qza%ik?.in\n"
    " Pathnames/WatchDogFiles=spool/qza%ik?.dog\n"
    " Pathnames/WatchJobFiles=spool/qz*.job\n"
    " Pathnames/JobPath=spool/\n"
    " Pathnames/WatchTtsFiles=spool/qz*.tts\n"
    " Pathnames/TtsPath=spool/\n"
    " Pathnames/TtsLogPath=ttslog/\n";

// The banner, and as root the line that says so.
const std::string kBanner =
    std::string("Zelvano - Directory watcher / Alarm launcher\n\n") +
#ifndef _WIN32
    (geteuid() == 0 ? "Running as root: the package's unit runs the service as the user "
                      "qza_wdir; speech is still written only below SVoxSettings/WavDirs\n"
                    : "") +
#endif
    "";

using CoreSystemTest = ServiceTest;

// The fixture's waits fail on a stall, not on a slow but steady run: a goal
// reached in steps takes longer than the time-out as a whole, and a measure
// that stops short fails once the time-out passes without a step.
TEST(ServiceFixture, WaitsForProgressNotForAFixedTime) {
  const auto start = std::chrono::steady_clock::now();
  const auto steps = [&] {
    return static_cast<size_t>((std::chrono::steady_clock::now() - start) / 20ms);
  };
  EXPECT_TRUE(WaitForProgress(steps, 100, 1s));  // about 2 s in all
  const auto stalled = [&] { return std::min<size_t>(steps(), 3); };
  EXPECT_FALSE(WaitForProgress(stalled, 200, 300ms));
}


TEST_F(CoreSystemTest, FreshStartWritesTheSixteenDefaults) {
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Ready\n"));
  EXPECT_EQ(service.Output(), std::string(kBanner) +
                                  "from qza_wdir.ini:\n"
                                  " Server/NeedOneConsOf=\n"
                                  " Server/NeedAllConsOf=\n"
                                  " Pathnames/WatchPath=\\qzt\\start\\\n"
                                  " Pathnames/AckPath=\\qzt\\start\\log\\\n"
                                  " Pathnames/WatchFiles=\\qzt\\start\\qza%ik?.in\n"
                                  " Pathnames/WatchDogFiles=\\qzt\\start\\qza%ik?.dog\n"
                                  " Pathnames/WatchJobFiles=\\qzt\\start\\qz*.job\n"
                                  " Pathnames/JobPath=\\qzt\\start\\\n"
                                  " Pathnames/WatchTtsFiles=\\qzt\\start\\qz*.tts\n"
                                  " Pathnames/TtsPath=\\qzt\\start\\\n"
                                  " Pathnames/TtsLogPath=\\qzt\\start\\log\\\n" +
                                  ReadyLines());
  EXPECT_EQ(testutil::ReadFile(Path("qza_wdir.ini")),
            "[Pathnames]\n"
            "WatchPath=\\qzt\\start\\\n"
            "AckPath=\\qzt\\start\\log\\\n"
            "WatchFiles=\\qzt\\start\\qza%ik?.in\n"
            "WatchDogFiles=\\qzt\\start\\qza%ik?.dog\n"
            "WatchJobFiles=\\qzt\\start\\qz*.job\n"
            "JobPath=\\qzt\\start\\\n"
            "WatchTtsFiles=\\qzt\\start\\qz*.tts\n"
            "TtsPath=\\qzt\\start\\\n"
            "TtsLogPath=\\qzt\\start\\log\\\n"
            "SvoxPath=c:\\svox\\\n"
            "[Server]\n"
            "WaitForSec=180\n"
            "SleepAfterError=1200\n"
            "PollSec=-1\n"
            "[Alarm]\n"
            "UseVoxFile=0\n"
            "[SVoxSettings]\n"
            "Voice=judith8\n"
            "Speed=100\n"
            "Pitch=100\n"
            "MaxSeconds=60\n");
}

TEST_F(CoreSystemTest, CompleteIniIsReadAndLeftUntouched) {
  WriteIni();
  const std::string before = testutil::ReadFile(Path("qza_wdir.ini"));
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Ready\n"));
  EXPECT_EQ(service.Output(), std::string(kBanner) + kConfigurationLines + ReadyLines());
  EXPECT_EQ(testutil::ReadFile(Path("qza_wdir.ini")), before);
}

TEST_F(CoreSystemTest, MinusNinetyNineAndEmptyValuesAreReplaced) {
  WriteIni({{"WaitForSec", "-99"}, {"WatchJobFiles", " "}});
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Ready\n"));
  EXPECT_NE(service.Output().find(" Pathnames/WatchJobFiles=\\qzt\\start\\qz*.job\n"),
            std::string::npos);
  const std::string ini = testutil::ReadFile(Path("qza_wdir.ini"));
  EXPECT_NE(ini.find("WaitForSec=180\n"), std::string::npos);
  EXPECT_NE(ini.find("WatchJobFiles=\\qzt\\start\\qz*.job\n"), std::string::npos);
}

TEST_F(CoreSystemTest, SecondInstanceSaysSoAndExitsZero) {
  WriteIni();
  Service& first = Start();
  ASSERT_TRUE(first.WaitForOutput("Ready\n"));
  Service second(dir_.path(), Path("bin"));
  EXPECT_EQ(second.WaitForExit(), 0);
  // The reader of its output may still be behind its exit.
  EXPECT_TRUE(second.WaitForOutput("Directory watcher is already running."));
  EXPECT_EQ(second.Output(), "Directory watcher is already running.");
  // Another installation in another directory is not blocked.
  testutil::TempDir other;
  Service elsewhere(other.path(), Path("bin"));
  EXPECT_TRUE(elsewhere.WaitForOutput("Ready\n"));
}

TEST_F(CoreSystemTest, RestartAfterKillMinusNine) {
  WriteIni();
  Service& first = Start();
  ASSERT_TRUE(first.WaitForOutput("Ready\n"));
  first.Kill();
  Service& second = Start();
  EXPECT_TRUE(second.WaitForOutput("Ready\n"));
}

TEST_F(CoreSystemTest, FilesWaitingAtStartAreHandledRightAfterReady) {
  WriteIni();
  AddFakeProgram("QZ_DOFAX.BAT");
  Drop("spool/qz1.job", "a\r\nb\r\nc\r\nd\r\n");  // arrived while the service was down
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("launching [QZ_DOFAX.BAT a \"b\" c d]\r\n"));
  EXPECT_TRUE(WaitForCalls(1));
  const std::string output = service.Output();
  EXPECT_EQ(output.substr(output.find("Ready\n") + 6, 6), "procee");  // no "Event" first
  EXPECT_EQ(output.find("Timeout"), std::string::npos);
}

TEST_F(CoreSystemTest, FileBusyAtItsPassIsHandledAtTheNextTimeout) {
  WriteIni({{"WaitForSec", "1"}});
  AddFakeProgram("QZ_DOFAX.BAT");
  Drop("spool/qz1.job", "a\r\nb\r\nc\r\nd\r\n");
  testutil::FileHolder reader(Path("spool/qz1.job"), false);  // its close is no change
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Can't open job-file !\r\n"));
  reader.Release();
  ASSERT_TRUE(service.WaitForOutput("launching [QZ_DOFAX.BAT a \"b\" c d]\r\n"));
  EXPECT_EQ(service.Output().find("Event"), std::string::npos);
  EXPECT_NE(service.Output().find("Timeout\n"), std::string::npos);
}

TEST_F(CoreSystemTest, WaitForSecBelowOneIsTakenAsOneOrTheDefault) {
  static const struct {
    const char* value;
    const char* line;
    bool timeouts;  // a time-out comes within a few seconds
  } cases[] = {
      {"0", "Server/WaitForSec=0 is below 1: 1 is used\n", true},
      {"-5", "Server/WaitForSec=-5 is negative: the default 180 is used\n", false},
      {"-2147483648", "Server/WaitForSec=-2147483648 is negative: the default 180 is used\n",
       false},
  };
  AddFakeProgram("QZ_DOFAX.BAT");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    service_.reset();
    std::remove(Path("calls.log").c_str());
    WriteIni({{"WaitForSec", c.value}});
    const std::string ini = testutil::ReadFile(Path("qza_wdir.ini"));
    Service& service = Start();
    ASSERT_TRUE(service.WaitForOutput("Ready\n"));
    EXPECT_NE(service.Output().find(std::string(kConfigurationLines) + c.line + ReadyLines()),
              std::string::npos);
    if (c.timeouts) {
      EXPECT_TRUE(service.WaitForOutput("Timeout\n", 2));
    }
    Drop("spool/qz1.job", "a\r\nb\r\nc\r\nd\r\n");
    EXPECT_TRUE(service.WaitForOutput("launching [QZ_DOFAX.BAT a \"b\" c d]\r\n"));
    EXPECT_TRUE(WaitForCalls(1));
    EXPECT_EQ(testutil::ReadFile(Path("qza_wdir.ini")), ini);  // the value stays as written
    // One second between time-outs, not a spin: two lines at most per second.
    if (c.timeouts) {
      const std::string output = service.Output();
      size_t lines = 0;
      for (size_t at = output.find("Timeout\n"); at != std::string::npos;
           at = output.find("Timeout\n", at + 1)) {
        ++lines;
      }
      EXPECT_LT(lines, 1000u);
    }
  }
}

TEST_F(CoreSystemTest, NegativeWaitForSecNeitherSpinsNorBlocksChanges) {
  WriteIni({{"WaitForSec", "-5"}});
  AddFakeProgram("QZ_DOFAX.BAT");
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Ready\n"));
  Drop("spool/qz1.job", "a\r\nb\r\nc\r\nd\r\n");
  ASSERT_TRUE(service.WaitForOutput("launching [QZ_DOFAX.BAT a \"b\" c d]\r\n"));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(service.Output().find("Timeout"), std::string::npos);
}

TEST_F(CoreSystemTest, WatchPathThatAppearsLaterIsWatchedAfterATimeout) {
  WriteIni({{"WaitForSec", "1"}, {"WatchPath", "late/"}, {"WatchJobFiles", "late/qz*.job"},
            {"JobPath", "late/"}});
  AddFakeProgram("QZ_DOFAX.BAT");
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Timeout\n", 1, 5s));
  ASSERT_TRUE(testutil::MakeDirectory(Path("late")));
  const size_t timeouts = 2;
  ASSERT_TRUE(service.WaitForOutput("Timeout\n", timeouts + 1, 5s));
  Drop("late/qz1.job", "a\r\nb\r\nc\r\nd\r\n");
  EXPECT_TRUE(service.WaitForOutput("proceeding fax job in 'late/.\\qz1.job'"));
}

TEST_F(CoreSystemTest, RemovedWatchPathEndsWaitsAsTimeoutsUntilItIsBack) {
  if (testutil::kWindows) {
    GTEST_SKIP() << "on Windows a watched directory stays pending deletion while it is watched";
  }
  WriteIni({{"WaitForSec", "1"}});
  AddFakeProgram("QZ_DOFAX.BAT");
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Ready\n"));
  ASSERT_TRUE(std::filesystem::remove(Path("spool")));
  ASSERT_TRUE(service.WaitForOutput("Timeout\n", 1, 5s));
  ASSERT_TRUE(testutil::MakeDirectory(Path("spool")));
  const std::string output = service.Output();
  size_t seen = 0;
  for (size_t at = output.find("Timeout\n"); at != std::string::npos;
       at = output.find("Timeout\n", at + 1)) {
    ++seen;
  }
  ASSERT_TRUE(service.WaitForOutput("Timeout\n", static_cast<int>(seen) + 2, 5s));
  Drop("spool/qz1.job", "a\r\nb\r\nc\r\nd\r\n");
  EXPECT_TRUE(service.WaitForOutput("proceeding fax job in 'spool/.\\qz1.job'"));
}

TEST_F(CoreSystemTest, IniFileUnlikeAnIniFileIsNamedAtStartUp) {
  std::string too_large = "[Pathnames]\nWatchPath=spool/\n";
  too_large.append(1024 * 1024 + 1 - too_large.size(), ';');
  const struct {
    const char* name;
    std::string content;
    const char* line;
  } cases[] = {
      {"binary junk", std::string("\x7f" "ELF\x02\x01\x01\0\0\0[\x03\0>\0", 16),
       "qza_wdir.ini holds a NUL byte, which no ini file holds: settings not found in it take "
       "their defaults\n"},
      {"no section", "WatchPath=spool/\nAckPath=ack/\n",
       "qza_wdir.ini has no [section] line: none of its lines is a setting, every setting takes "
       "its default\n"},
      {"long line", "[Server]\nNumber=1" + std::string(70000, ' ') + "\n",
       "qza_wdir.ini has a line longer than 65536 bytes, which no ini file has: settings not found "
       "in it take their defaults\n"},
      {"too large", too_large,
       "qza_wdir.ini is larger than 1048576 bytes, which no ini file is: it is not read, the "
       "defaults hold and none is written into it\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    service_.reset();
    testutil::WriteFile(Path("qza_wdir.ini"), c.content);
    Service& service = Start();
    ASSERT_TRUE(service.WaitForOutput("Ready\n"));
    const std::string output = service.Output();
    EXPECT_EQ(output.find(std::string(kBanner) + "from qza_wdir.ini:\n" + c.line), 0u);
    EXPECT_NE(output.find(" Pathnames/WatchPath=\\qzt\\start\\\n"), std::string::npos);
  }
  // The refused file is left as it was: no default is written into it.
  EXPECT_EQ(testutil::ReadFile(Path("qza_wdir.ini")), too_large);
  // The same for the installation's file.
  service_.reset();
  WriteIni();
  testutil::WriteFile(Path("qzalarm.ini"), "DbPath=db/\n");
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Ready\n"));
  EXPECT_NE(service.Output().find(std::string(kConfigurationLines) +
                                  "qzalarm.ini has no [section] line: none of its lines is a "
                                  "setting, every setting takes its default\n" +
                                  ReadyLines()),
            std::string::npos);
}

TEST_F(CoreSystemTest, PatternWithOtherConversionsIsRefused) {
  WriteIni({{"WatchFiles", "spool/qza%sk?.in"}});
  AddFakeProgram("QZ_DOFAX.BAT");
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Ready\n"));
  EXPECT_NE(service.Output().find(
                "Pathnames/WatchFiles=spool/qza%sk?.in is refused: only %% and one %i or %d may "
                "stand in it; alarm files are not scanned\n" +
                ReadyLines()),
            std::string::npos);
  Drop("spool/qza%sk1.in", "x");
  Drop("spool/qz1.job", "a\r\nb\r\nc\r\nd\r\n");
  ASSERT_TRUE(service.WaitForOutput("proceeding fax job"));
  EXPECT_EQ(service.Output().find("proceeding alarm"), std::string::npos);
}

// A width or precision would have every pass format a text as long as it
// says (seconds for %999999999i): such a pattern is refused at start-up.
TEST_F(CoreSystemTest, PatternWithAWidthOrPrecisionIsRefusedAtOnce) {
  static const struct {
    const char* key;
    const char* pattern;
    const char* kind;
  } cases[] = {
      {"WatchFiles", "spool/qza%999999999ik?.in", "alarm"},
      {"WatchFiles", "spool/qza%.999999999dk?.in", "alarm"},
      {"WatchDogFiles", "spool/qza%02ik?.dog", "watchdog"},
  };
  for (const auto& c : cases) {
    WriteIni({{c.key, c.pattern}});
    Service& service = Start();
    ASSERT_TRUE(service.WaitForOutput("Ready\n")) << c.pattern;
    EXPECT_NE(service.Output().find(std::string("Pathnames/") + c.key + "=" + c.pattern +
                                    " is refused: only %% and one %i or %d may stand in it; " +
                                    c.kind + " files are not scanned\n"),
              std::string::npos)
        << service.Output();
  }
}

}  // namespace
}  // namespace systemtest

}  // namespace qza
