// What a speech writer does never delays an alarm: a hanging synthesiser,
// a spool full of refused speech jobs and a WAV target that cannot be
// replaced, each against an alarm or a later job, through the real binary.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "AlarmContent.h"
#include "system/ServiceFixture.h"

namespace qza {

namespace systemtest {
namespace {

class LaneSystemTest : public ServiceTest {
 protected:
  LaneSystemTest() {
    AddFakeProgram("QZARUN.CMD");
    testutil::MakeDirectory(Path("sounds"));
  }
  ~LaneSystemTest() override {
    // A synthesiser still running is ended with the test.
    if (!testutil::FileExists(Path("synth.pid"))) return;
    const std::string pid = testutil::ReadFile(Path("synth.pid"));
    if (!pid.empty()) testutil::KillProcess(std::atoi(pid.c_str()));
  }
  Service& StartService(std::map<std::string, std::string> changes) {
    changes.emplace("SvoxPath", Path("svox") + "/");
    WriteIni(changes);
    Service& service = Start();
    EXPECT_TRUE(service.WaitForOutput("Ready\n"));
    return service;
  }
  // A synthesiser that notes its process id and then takes `seconds`.
  void SlowSynthesiser(int seconds) {
    ASSERT_TRUE(testutil::MakeProgram(
        Path("svox/svox.exe"),
        "#!/bin/sh\necho $$ > " + Path("synth.pid") + "\nexec sleep " + std::to_string(seconds) +
            "\n",
        "pid " + Path("synth.pid") + "\nsleep " + std::to_string(seconds * 1000) + "\n"));
  }
  // A synthesiser that writes "WAV of <text>" at once.
  void QuickSynthesiser() {
    ASSERT_TRUE(testutil::MakeProgram(
        Path("svox/svox.exe"),
        "#!/bin/sh\neval in=\\${$(($# - 1))} out=\\${$#}\n"
        "in=$(printf '%s' \"$in\" | sed -e 's|\\\\|/|g')\n"
        "out=$(printf '%s' \"$out\" | sed -e 's|\\\\|/|g')\n"
        "{ printf 'WAV of '; cat \"$in\"; } > \"$out.part\" && mv \"$out.part\" \"$out\"\n",
        "speak\n"));
  }
  size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
      ++count;
    }
    return count;
  }
};

TEST_F(LaneSystemTest, AlarmIsLaunchedWhileASynthesiserHangs) {
  SlowSynthesiser(30);
  Service& service = StartService({{"MaxSeconds", "1000"}, {"WaitForSec", "2"}});
  std::string job;
  for (int entry = 1; entry <= 20; ++entry) {
    const std::string n = std::to_string(entry);
    job += "[File" + n + "]\nFile=e" + n + ".wav\nText=Entry " + n + "\nDir=" + Path("sounds") +
           "\n";
  }
  Drop("spool/qz1.tts", job);
  ASSERT_TRUE(testutil::WaitFor([&] { return testutil::FileExists(Path("synth.pid")); }));
  Drop("spool/qza1k3.in", testutil::AlarmContent({}));
  ASSERT_TRUE(WaitForCalls(1)) << service.Output();
  EXPECT_EQ(Calls()[0].rfind("QZARUN.CMD [Brand]", 0), 0u) << Calls()[0];
  // The synthesis of the first entry is still running: the alarm did not wait.
  EXPECT_EQ(service.Output().find("svox.exe did not end"), std::string::npos);
  EXPECT_EQ(service.Output().find("Create wavfile: " + Path("svox") + "/.\\e2.wav"),
            std::string::npos);
}

// Two hundred jobs that are second names of one file are refused one by one
// on the speech lane; an alarm dropped at a time-out meanwhile is launched
// at once.
TEST_F(LaneSystemTest, RefusedSpeechJobsDoNotDelayAnAlarmAtATimeout) {
  testutil::WriteFile(Path("job.txt"), "[File1]\nFile=a.wav\nText=A\n");
  for (int n = 0; n < 200; ++n) {
    std::filesystem::create_hard_link(Path("job.txt"),
                                      Path("spool/qz" + std::to_string(n) + ".tts"));
  }
  Service& service = StartService({{"WaitForSec", "1"}});
  ASSERT_TRUE(service.WaitForOutput("Timeout\n"));
  Drop("spool/qza1k3.in", testutil::AlarmContent({}));
  ASSERT_TRUE(WaitForCalls(1, 15s)) << service.Output();
  // The lane was still on its first round through the jobs (each waits 200 ms
  // for its writer first): the alarm did not queue behind them.
  EXPECT_LT(Count(service.Output(), "refused and left in place"), 200u) << service.Output();
}

// A refused job that stays as it was is neither waited for nor reported again
// at later time-outs; changed, it is handled anew.
TEST_F(LaneSystemTest, RefusedSpeechJobIsReportedOnceUntilItChanges) {
  testutil::WriteFile(Path("job.txt"), "[File1]\nFile=a.wav\nText=A\n");
  std::filesystem::create_hard_link(Path("job.txt"), Path("spool/qz1.tts"));
  Service& service = StartService({{"WaitForSec", "1"}});
  ASSERT_TRUE(service.WaitForOutput("refused and left in place"));
  ASSERT_TRUE(service.WaitForOutput("Timeout\n", 4));
  EXPECT_EQ(Count(service.Output(), "proceeding tts job in 'spool/.\\qz1.tts'"), 1u)
      << service.Output();
  EXPECT_EQ(Count(service.Output(), "refused and left in place"), 1u);
  // The job has one name once this is gone. On Windows the removal fails
  // while the service has the file open for a look at a time-out: try again.
  ASSERT_TRUE(testutil::WaitFor([&] { return testutil::RemoveFile(Path("job.txt")); }));
  QuickSynthesiser();
  ASSERT_TRUE(service.WaitForOutput("proceeding tts job in 'spool/.\\qz1.tts'", 2, 15s))
      << service.Output();
  ASSERT_TRUE(service.WaitForOutput("Successfully moved", 1, 15s)) << service.Output();
}

// A deletion whose target cannot be deleted (a directory in the WAV's place)
// retries in the background for minutes; the job after it is spoken and
// published meanwhile.
TEST_F(LaneSystemTest, StuckWavTargetDoesNotStopALaterJob) {
  QuickSynthesiser();
  testutil::MakeDirectory(Path("sounds/stuck.wav"));
  testutil::WriteFile(Path("sounds/stuck.wav/keep"), "");
  Service& service = StartService({});
  Drop("spool/qz1.tts", "[File1]\nFile=stuck.wav\nDir=" + Path("sounds") + "\n");
  Drop("spool/qz2.tts", "[File1]\nFile=fresh.wav\nText=Fresh\nDir=" + Path("sounds") + "\n");
  // On Windows the file can be seen while the service still holds it (read
  // as "<missing>" then): wait for what it holds once published.
  ASSERT_TRUE(testutil::WaitFor(
      [&] { return testutil::ReadFile(Path("sounds/fresh.wav")) == "WAV of Fresh"; }, 20s))
      << testutil::ReadFile(Path("sounds/fresh.wav")) << "\n"
      << service.Output();
  EXPECT_EQ(service.Output().find("Failed to delete wavfile"), std::string::npos);
  EXPECT_TRUE(testutil::FileExists(Path("sounds/stuck.wav/keep")));
}

}  // namespace
}  // namespace systemtest

}  // namespace qza
