// Fax jobs and console supervision through the real binary.
#include <algorithm>
#include <ctime>

#include "system/ServiceFixture.h"

namespace qza {

namespace systemtest {
namespace {

class FaxSystemTest : public ServiceTest {
 protected:
  FaxSystemTest() { AddFakeProgram("QZ_DOFAX.BAT"); }
  Service& StartService() {
    WriteIni();
    Service& service = Start();
    EXPECT_TRUE(service.WaitForOutput("Ready\n"));
    return service;
  }
  std::string Log() { return testutil::ReadFile(Path("ack/qzf_" + YearMonth() + ".log")); }
};

TEST_F(FaxSystemTest, FourLineJobIsLaunchedDeletedAndLogged) {
  Service& service = StartService();
  Drop("spool/qz17.job", "0711 1234\r\nDr. Muster & Co\r\ncover.tif\r\nfine\r\n");
  const std::string command = "QZ_DOFAX.BAT 0711 1234 \"Dr. Muster & Co\" cover.tif fine";
  ASSERT_TRUE(service.WaitForOutput("launching [" + command + "]\r\n"));
  ASSERT_TRUE(WaitForCalls(1));
  // Each line is one argument, whatever it holds.
  EXPECT_EQ(Calls()[0], "QZ_DOFAX.BAT [0711 1234] [Dr. Muster & Co] [cover.tif] [fine]");
  EXPECT_NE(service.Output().find("proceeding fax job in 'spool/.\\qz17.job'\r\nlaunching ["),
            std::string::npos);
  EXPECT_TRUE(testutil::WaitFor([&] { return Log().find("]\r\n") != std::string::npos; }));
  const std::string log = Log();
  ASSERT_GE(log.size(), 8u);
  EXPECT_EQ(log.substr(8), ":Server 1, fax job launched [shell=" + command + "]\r\n");
  EXPECT_FALSE(testutil::FileExists(Path("spool/qz17.job")));
}

TEST_F(FaxSystemTest, ShortAndEmptyJobsAndALoneLineFeed) {
  Service& service = StartService();
  static const struct {
    const char* content;
    const char* command;
    const char* call;  // null: refused
  } cases[] = {
      {"first\r\nsecond part\r\n", "QZ_DOFAX.BAT first \"second part\"  ",
       "QZ_DOFAX.BAT [first] [second part] [] []"},
      {"", "QZ_DOFAX.BAT  \"\"  ", "QZ_DOFAX.BAT [] [] [] []"},
      {"\"a b\" c\r\n\"\r\n", "QZ_DOFAX.BAT \"a b\" c \"\"\"  ",
       "QZ_DOFAX.BAT [\"a b\" c] [\"] [] []"},
      // The console shows the lone LF as ?. No platform can hand the line to
      // the script whole (cmd would end the command at it): the launch is
      // refused, never cut short, and the job stays.
      {"a\nb\r\nc\r\nd\r\ne\r\n", "QZ_DOFAX.BAT a?b \"c\" d e", nullptr},
  };
  std::vector<std::string> calls;
  for (const auto& c : cases) {
    Drop("spool/qz1.job", c.content);
    ASSERT_TRUE(service.WaitForOutput(std::string("launching [") + c.command + "]\r\n", 1))
        << c.command;
    if (c.call == nullptr) {
      EXPECT_TRUE(service.WaitForOutput(std::string("FAILED to launch [") + c.command +
                                        "]: Invalid argument\r\n"));
      EXPECT_TRUE(testutil::FileExists(Path("spool/qz1.job")));
      continue;
    }
    ASSERT_TRUE(testutil::WaitFor([&] { return !testutil::FileExists(Path("spool/qz1.job")); }));
    calls.push_back(c.call);
  }
  ASSERT_TRUE(WaitForCalls(calls.size()));
  // Detached scripts record their calls in whatever order they run.
  std::vector<std::string> recorded = Calls();
  std::sort(recorded.begin(), recorded.end());
  std::sort(calls.begin(), calls.end());
  EXPECT_EQ(recorded, calls);
}

TEST_F(FaxSystemTest, JobHeldByItsWriterIsLeft) {
  testutil::WriteFile(Path("spool/qz1.job"), "a\r\n");  // waits for the first change
  testutil::FileHolder writer(Path("spool/qz1.job"), true);
  Service& service = StartService();
  Drop("spool/other.txt", "wake");
  ASSERT_TRUE(service.WaitForOutput("Can't open job-file !\r\n"));
  EXPECT_TRUE(testutil::FileExists(Path("spool/qz1.job")));
  EXPECT_TRUE(Calls().empty());
}

TEST_F(FaxSystemTest, MissingScriptKeepsTheJobUntilTheScriptIsThere) {
  unlink(Path("bin/QZ_DOFAX.BAT").c_str());
  Service& service = StartService();
  Drop("spool/qz1.job", "a\r\nb\r\nc\r\nd\r\n");
  ASSERT_TRUE(service.WaitForOutput(
      "launching [QZ_DOFAX.BAT a \"b\" c d]\r\n"
      "FAILED to launch [QZ_DOFAX.BAT a \"b\" c d]: No such file or directory\r\n"));
  EXPECT_TRUE(testutil::FileExists(Path("spool/qz1.job")));
  EXPECT_EQ(Log(), "<missing>");
  AddFakeProgram("QZ_DOFAX.BAT");
  // Its next change.
  ASSERT_TRUE(testutil::SetModificationTime(Path("spool/qz1.job"), std::time(nullptr) + 2));
  ASSERT_TRUE(WaitForCalls(1));
  EXPECT_TRUE(testutil::WaitFor([&] { return Log().find("]\r\n") != std::string::npos; }));
  EXPECT_FALSE(testutil::FileExists(Path("spool/qz1.job")));
}

TEST_F(FaxSystemTest, OverlongJobIsNeitherLaunchedNorDeleted) {
  Service& service = StartService();
  Drop("spool/qz1.job", std::string(200, 'a') + "\r\n" + std::string(40, 'b') + "\r\n");
  ASSERT_TRUE(service.WaitForOutput(
      "Fax job longer than 237 characters in its four lines, not launched: spool/.\\qz1.job\r\n"));
  EXPECT_TRUE(testutil::FileExists(Path("spool/qz1.job")));
  EXPECT_TRUE(Calls().empty());
}

class WatchdogSystemTest : public ServiceTest {
 protected:
  WatchdogSystemTest() {
    AddFakeProgram("QZA_WARN.BAT");
    AddFakeProgram("QZA_WARN.CMD");
  }
  Service& StartService(const std::string& need_one, const std::string& need_all,
                        const std::string& sleep_after_error = "2") {
    WriteIni({{"NeedOneConsOf", need_one}, {"NeedAllConsOf", need_all}, {"WaitForSec", "1"},
              {"SleepAfterError", sleep_after_error}});
    Service& service = Start();
    EXPECT_TRUE(service.WaitForOutput("Ready\n"));
    return service;
  }
  // Keeps the consoles alive by dropping their watchdog files for `duration`.
  void KeepAlive(const std::vector<int>& consoles, std::chrono::milliseconds duration) {
    auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
      for (int console : consoles) {
        Drop("spool/qza1k" + std::to_string(console) + ".dog", "");
      }
      std::this_thread::sleep_for(300ms);
    }
  }
};

TEST_F(WatchdogSystemTest, SilentNeedAllConsolesAreWarnedInOrder) {
  Service& service = StartService("1", "5,3");
  ASSERT_TRUE(service.WaitForOutput("suspend for 2 seconds\n", 1, 8s));
  const std::string output = service.Output();
  EXPECT_NE(output.find("launching [QZA_WARN.BAT  3]\r\nlaunching [QZA_WARN.BAT  5]\r\n"),
            std::string::npos);
  EXPECT_EQ(output.find("QZA_WARN.CMD"), std::string::npos);
  ASSERT_TRUE(WaitForCalls(2));
  EXPECT_EQ(Calls()[0].substr(0, 12), "QZA_WARN.BAT");
}

TEST_F(WatchdogSystemTest, NoAliveNeedOneConsoleWarnsOnceThenAgainAfterTheSuspension) {
  Service& service = StartService("1,2", "", "3");
  ASSERT_TRUE(service.WaitForOutput("launching [QZA_WARN.CMD]\r\nsuspend for 3 seconds\n", 1, 8s));
  const auto first = std::chrono::steady_clock::now();
  ASSERT_TRUE(service.WaitForOutput("launching [QZA_WARN.CMD]\r\n", 2, 10s));
  EXPECT_GE(std::chrono::steady_clock::now() - first, 2500ms);  // not during the suspension
  EXPECT_TRUE(WaitForCalls(2));
  EXPECT_EQ(Calls()[0], "QZA_WARN.CMD");
}

TEST_F(WatchdogSystemTest, OneAliveNeedOneConsoleIsEnough) {
  Service& service = StartService("1,2", "4");
  KeepAlive({2, 4}, 3500ms);
  EXPECT_EQ(service.Output().find("launching"), std::string::npos);
  EXPECT_NE(service.Output().find(" Watchdog event (from console 2) cleared\n"), std::string::npos);
  EXPECT_FALSE(testutil::FileExists(Path("spool/qza1k2.dog")));
}

TEST_F(WatchdogSystemTest, NeedAllOnlyConfigurationIsSupervised) {
  Service& service = StartService("", "6");
  ASSERT_TRUE(service.WaitForOutput("launching [QZA_WARN.BAT  6]\r\n", 1, 8s));
  EXPECT_EQ(service.Output().find("QZA_WARN.CMD"), std::string::npos);
}

TEST_F(WatchdogSystemTest, WatchdogFilesAreConsumedWhileSupervisionIsOff) {
  Service& service = StartService("", "");
  Drop("spool/qza1k0.dog", "");
  ASSERT_TRUE(service.WaitForOutput(" Watchdog event (from console 0) cleared\n"));
  Drop("spool/qza2k1.dog", "");  // another server's file stays
  Drop("spool/qza1k1.dog", "");
  ASSERT_TRUE(service.WaitForOutput(" Watchdog event (from console 1) cleared\n"));
  EXPECT_TRUE(testutil::FileExists(Path("spool/qza2k1.dog")));
  EXPECT_TRUE(Calls().empty());
}

TEST_F(WatchdogSystemTest, UndeletableWatchdogFileCountsOnceSoASilentConsoleIsWarned) {
  testutil::WriteFile(Path("spool/qza1k3.dog"), "");
  if (testutil::kWindows) GTEST_SKIP() << "no immutable files on Windows";
  if (system(("chattr +i " + Path("spool/qza1k3.dog") + " 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "no immutable files here";
  }
  Service& service = StartService("3", "");
  auto end = std::chrono::steady_clock::now() + 3500ms;
  while (std::chrono::steady_clock::now() < end) {
    Drop("spool/wake.txt", "");
    std::this_thread::sleep_for(300ms);
  }
  const std::string output = service.Output();
  if (system(("chattr -i " + Path("spool/qza1k3.dog")).c_str()) != 0) ADD_FAILURE();
  const std::string failure = "Failed to delete watchdog file spool/.\\qza1k3.dog";
  const size_t first = output.find(failure);
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(output.find(failure, first + 1), std::string::npos) << output;
  EXPECT_NE(output.find("launching [QZA_WARN.CMD]\r\n"), std::string::npos);
}

}  // namespace
}  // namespace systemtest

}  // namespace qza
