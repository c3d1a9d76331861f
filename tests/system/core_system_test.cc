// The watcher core as a whole: start-up output, configuration written back,
// single instance, time-outs, a watch directory that appears late, refused
// patterns.
#include <signal.h>

#include <filesystem>
#include <sys/stat.h>

#include "system/ServiceFixture.h"

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

const char kBanner[] = "Zelvano - Directory watcher / Alarm launcher\n\n";

using CoreSystemTest = ServiceTest;


TEST_F(CoreSystemTest, FreshStartWritesTheSixteenDefaults) {
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Ready\n"));
  EXPECT_EQ(service.Output(),
            std::string(kBanner) +
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
                " Pathnames/TtsLogPath=\\qzt\\start\\log\\\n"
                "Ready\n");
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
  EXPECT_EQ(service.Output(), std::string(kBanner) + kConfigurationLines + "Ready\n");
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

TEST_F(CoreSystemTest, WaitForSecZeroCyclesWithoutPauseAndStillHandlesFiles) {
  WriteIni({{"WaitForSec", "0"}});
  AddFakeProgram("QZ_DOFAX.BAT");
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Timeout\n", 50));
  Drop("spool/qz1.job", "a\r\nb\r\nc\r\nd\r\n");
  EXPECT_TRUE(service.WaitForOutput("launching [QZ_DOFAX.BAT a \"b\" c d]\r\n"));
  EXPECT_TRUE(WaitForCalls(1));
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

TEST_F(CoreSystemTest, PatternWithOtherConversionsIsRefused) {
  WriteIni({{"WatchFiles", "spool/qza%sk?.in"}});
  AddFakeProgram("QZ_DOFAX.BAT");
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Ready\n"));
  EXPECT_NE(service.Output().find(
                "Pathnames/WatchFiles=spool/qza%sk?.in is refused: only %% and one %i or %d may "
                "stand in it; alarm files are not scanned\nReady\n"),
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
