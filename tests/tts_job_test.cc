// The speech job's input checks, and its synthesiser runs through real child
// processes with the polling sleep replaced, so that time limits take
// milliseconds.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "TestUtil.h"
#include "platform/Clock.h"
#include "platform/Fault.h"
#include "platform/Startup.h"
#include "tts/TtsJob.h"
#include "tts/WavThreads.h"

namespace qza {

namespace {

TEST(TtsNamesTest, OnlyPlainFileNamesPass) {
  static const struct {
    const char* name;
    bool plain;
  } cases[] = {
      {"hello.wav", true},     {"Hello.WAV", true},        {"a-b_c~2.wav", true},
      {"..wav", true},         {"...", true},              {".", false},
      {"..", false},           {"..\\x.wav", false},       {"sub/x.wav", false},
      {"/etc/x.wav", false},   {"c:x.wav", false},         {"a b.wav", false},
      {"a\"b.wav", false},     {"a'b.wav", false},         {"a\tb.wav", false},
      {"a\x1b[2Jb.wav", false}, {"a\x7f.wav", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileNameFault(c.name) == nullptr, c.plain) << c.name;
  }
}

TEST(TtsNamesTest, DeletionTakesOnlyWavNames) {
  static const struct {
    const char* name;
    bool wav;
  } cases[] = {{"old.wav", true},  {"OLD.WaV", true},      {".wav", true}, {"old.wav.bak", false},
               {"QZARUN.CMD", false}, {"wav", false},     {"old.wa", false}};
  for (const auto& c : cases) EXPECT_EQ(NamesAWavFile(c.name), c.wav) << c.name;
}

class TtsReadTest : public ::testing::Test {
 protected:
  std::string Job() const { return dir_ / "qz1.tts"; }
  testutil::TempDir dir_;
};

TEST_F(TtsReadTest, JobsUpToTheCapAreReadWholeAndLargerOnesRefused) {
  static const struct {
    size_t size;
    int error;
  } cases[] = {{0, 0}, {100, 0}, {kMaxTtsJobBytes, 0}, {kMaxTtsJobBytes + 1, EFBIG},
               {4 * kMaxTtsJobBytes, EFBIG}};
  for (const auto& c : cases) {
    const std::string content(c.size, 'x');
    testutil::WriteFile(Job(), content);
    std::string text = "stale";
    EXPECT_EQ(ReadTtsJob(Job().c_str(), &text), c.error) << c.size;
    EXPECT_EQ(text, c.error == 0 ? content : "") << c.size;
    EXPECT_EQ(testutil::ReadFile(Job()).size(), c.size);  // left as it was
  }
}

TEST_F(TtsReadTest, WhatIsNoRegularFileIsRefusedWithoutBlocking) {
  testutil::WriteFile(dir_ / "secret", "[File1]\nFile=a.wav\n");
  if (!testutil::kWindows) {  // Windows has no FIFOs, and links need a privilege there
    ASSERT_TRUE(testutil::MakeSymlink(dir_ / "secret", dir_ / "link.tts"));
    ASSERT_TRUE(testutil::MakeFifo(dir_ / "fifo.tts"));
  }
  ASSERT_TRUE(testutil::MakeDirectory(dir_ / "dir.tts"));
  testutil::WriteFile(dir_ / "held.tts", "[File1]\n");
  testutil::FileHolder writer(dir_ / "held.tts", true);
  static const struct {
    const char* name;
    int error;
    bool posix_only;
  } cases[] = {{"link.tts", ELOOP, true},
               {"fifo.tts", ENODEV, true},
               {"dir.tts", EISDIR},
               {"missing.tts", ENOENT},
               {"held.tts", EBUSY}};
  for (const auto& c : cases) {
    if (testutil::kWindows && c.posix_only) continue;
    std::string text;
    EXPECT_EQ(ReadTtsJob((dir_ / c.name).c_str(), &text), c.error) << c.name;
    EXPECT_EQ(text, "") << c.name;
  }
}

// A whole job through ProcessTtsJob with a fake synthesiser.
class TtsJobTest : public ::testing::Test {
 protected:
  // Counts the polls of the synthesiser (the 100 ms sleeps); each takes a real
  // millisecond so that a synthesiser that ends by itself gets the time to do
  // so, and while `ready_file` is set a poll waits until the synthesiser has
  // written it.
  static void CountingSleep(uint32_t milliseconds) {
    if (milliseconds != 100) return;
    ++sleeps;
    if (!ready_file.empty()) {
      EXPECT_TRUE(testutil::WaitFor([] { return testutil::FileExists(ready_file); }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void SetUp() override {
    sleeps = 0;
    platform::SetSleep(&CountingSleep);
    testutil::MakeDirectory(Svox());
    testutil::MakeDirectory(Sounds());
    testutil::MakeDirectory(dir_ / "log");
    std::snprintf(settings_.SvoxPath, kPathSize, "%s/", Svox().c_str());
    // The test runs elsewhere: its directory is where speech may go.
    std::snprintf(settings_.WavDirs, kWavDirsSize, "%s", dir_.path().c_str());
    std::snprintf(settings_.TtsLogPath, kPathSize, "%s", (dir_ / "log").c_str());
    std::snprintf(settings_.Voice, kVoiceSize, "en");
    settings_.MaxSeconds = 1000;
    ready_file.clear();
    jobs_ = std::make_unique<TtsJobs>(settings_);
  }
  void TearDown() override {
    EXPECT_TRUE(testutil::WaitFor([this] { return jobs_->wav_worker().Idle(); }));
    jobs_.reset();
    platform::SetSleep(nullptr);
    ready_file.clear();
  }
  std::string Svox() const { return dir_ / "svox"; }
  std::string Sounds() const { return dir_ / "sounds"; }
  std::string Run(const std::string& job) {
    testutil::WriteFile(dir_ / "qz1.tts", job);
    testutil::CaptureStdout();
    jobs_->ProcessTtsJob((dir_.path() + "/.\\qz1.tts").c_str());
    EXPECT_TRUE(testutil::WaitFor([this] { return jobs_->wav_worker().Idle(); }));
    return testutil::GetCapturedStdout();
  }
  // The month's log (named by the month now).
  std::string Log() {
    const std::time_t now = std::time(nullptr);
    char name[32];
    std::strftime(name, sizeof name, "qztts_%y%m.log", std::localtime(&now));
    return testutil::ReadFile(dir_ / ("log/" + std::string(name)));
  }
  static inline std::atomic<int> sleeps{0};
  static inline std::string ready_file;
  testutil::TempDir dir_;
  Settings settings_;
  std::unique_ptr<TtsJobs> jobs_;
};

TEST_F(TtsJobTest, SynthesiserPastItsTimeLimitIsStoppedAndNothingIsPublished) {
  ASSERT_TRUE(testutil::MakeProgram(Svox() + "/svox.exe",
                                    "#!/bin/sh\necho $$ > " + (dir_ / "pid") + "\nexec sleep 1000\n",
                                    "pid " + (dir_ / "pid") + "\nsleep 1000000\n"));
  settings_.MaxSeconds = 3;
  ready_file = dir_ / "pid";
  const std::string printed =
      Run("[File1]\nFile=slow.wav\nText=Slow\nDir=" + Sounds() + "\n");
  const std::string command = Svox() + "/.\\svox.exe -v en -p 100 -s 100 -e alaw " + Svox() +
                              "/.\\slow.txt " + Svox() + "/.\\slow.wav";
  EXPECT_NE(printed.find("svox.exe did not end within 3 seconds and was stopped: " + command +
                         "\r\n"),
            std::string::npos)
      << printed;
  EXPECT_GE(sleeps, 30);  // thirty polls of 100 ms make the three seconds
  const int pid = std::stoi(testutil::ReadFile(dir_ / "pid"));
  EXPECT_TRUE(testutil::WaitFor([&] { return !testutil::ProcessAlive(pid); }));
  EXPECT_FALSE(testutil::FileExists(Sounds() + "/slow.wav"));
  EXPECT_FALSE(testutil::FileExists(Svox() + "/slow.txt"));
  // The log names the command that was started, though it produced nothing.
  EXPECT_NE(Log().find(", tts job 'qz1' done [shell=" + command + "]\r\n"), std::string::npos);
}

TEST_F(TtsJobTest, SynthesiserThatCannotStartIsReportedAndNotLoggedAsSpoken) {
  // No svox.exe in SvoxPath.
  const std::string printed =
      Run("[File1]\nFile=never.wav\nText=Never\nDir=" + Sounds() + "\n");
  EXPECT_NE(printed.find("Failed to start synthesiser: " + Svox() + "/.\\svox.exe -v en"),
            std::string::npos)
      << printed;
  EXPECT_EQ(printed.find("Successfully moved"), std::string::npos);
  EXPECT_FALSE(testutil::FileExists(Svox() + "/never.txt"));
  const std::string command = Svox() + "/.\\svox.exe -v en -p 100 -s 100 -e alaw " + Svox() +
                              "/.\\never.txt " + Svox() + "/.\\never.wav";
  EXPECT_NE(Log().find(", tts job 'qz1' done [shell=" + command + "]\r\n"), std::string::npos);
}

TEST_F(TtsJobTest, SynthesiserThatLeavesNoOutputIsReportedAtOnce) {
  ASSERT_TRUE(testutil::MakeProgram(Svox() + "/svox.exe", "#!/bin/sh\nexit 3\n", "exit 3\n"));
  const std::string printed = Run("[File1]\nFile=mute.wav\nText=Mute\nDir=" + Sounds() + "\n");
  EXPECT_NE(printed.find("svox.exe ended with exit code 3: "), std::string::npos) << printed;
  // Said once, by the job: the worker is not left to wait 100 s for it.
  const std::string failed = "Failed to create wavfile: " + Sounds() +
                             ".\\mute.wav (No tmpfile created)\n";
  const size_t at = printed.find(failed);
  EXPECT_NE(at, std::string::npos);
  EXPECT_EQ(printed.find(failed, at + 1), std::string::npos);
}

TEST_F(TtsJobTest, StaleOutputOfAnEarlierRunIsNeverPublished) {
  testutil::WriteFile(Svox() + "/stale.wav", "RIFF of yesterday");
  // It writes nothing.
  ASSERT_TRUE(testutil::MakeProgram(Svox() + "/svox.exe", "#!/bin/sh\nexit 0\n", "exit 0\n"));
  Run("[File1]\nFile=stale.wav\nText=Today\nDir=" + Sounds() + "\n");
  EXPECT_FALSE(testutil::FileExists(Sounds() + "/stale.wav"));
}

// A synthesiser that copies the text into its output.
const char kCopyingSvox[] =
    "#!/bin/sh\n"
    "eval in=\\${$(($# - 1))} out=\\${$#}\n"
    "in=$(printf '%s' \"$in\" | sed -e 's|\\\\|/|g')\n"
    "out=$(printf '%s' \"$out\" | sed -e 's|\\\\|/|g')\n"
    "cp \"$in\" \"$out\"\n";
const char kCopyingSteps[] = "copy\n";

TEST_F(TtsJobTest, FailedRecordStepsAreReportedWithTheirReason) {
  ASSERT_TRUE(testutil::MakeProgram(Svox() + "/svox.exe", kCopyingSvox, kCopyingSteps));
  static const struct {
    const char* name;
    platform::FaultPoint point;
    const char* path_part;
    int error;
    const char* printed;
    bool spoken;
    bool job_stays;
  } cases[] = {
      {"archive", platform::FaultPoint::kOpen, "qz1_", ENOSPC,
       "qz1.tts not archived as ", true, false},
      {"text file", platform::FaultPoint::kOpen, ".txt", ENOSPC,
       "Failed to create textfile: ", false, false},
      {"job deletion", platform::FaultPoint::kUnlink, "qz1.tts", EACCES,
       // The worker's own line may come between the two.
       "Failed to delete jobfile !\r\n", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::RemoveFile(Sounds() + "/hi.wav");
    platform::InjectFault(c.point, c.error, c.path_part);
    testing::internal::CaptureStderr();
    const std::string printed = Run("[File1]\nFile=hi.wav\nText=Hi\nDir=" + Sounds() + "\n");
    const std::string errors = testing::internal::GetCapturedStderr();
    platform::ClearFaults();
    const size_t at = printed.find(c.printed);
    ASSERT_NE(at, std::string::npos) << printed;
    const std::string reason = std::strerror(c.error);
    // The text file's failure keeps its account line as it always was; its
    // reason goes to standard error.
    if (std::string(c.name) == "text file") {
      EXPECT_EQ(printed.find(reason, at), std::string::npos) << printed;
      EXPECT_NE(errors.find(reason), std::string::npos) << errors;
    } else {
      EXPECT_NE(printed.find(reason, at), std::string::npos) << printed;
    }
    EXPECT_EQ(testutil::ReadFile(Sounds() + "/hi.wav") == "Hi", c.spoken);
    EXPECT_EQ(testutil::FileExists(dir_ / "qz1.tts"), c.job_stays);
  }
}

TEST_F(TtsJobTest, JobReplacedWhileItIsHandledStaysForTheNextPass) {
  // The synthesiser drops a new job under the same name, as a writer may.
  testutil::WriteFile(dir_ / "next", "[File1]\nFile=next.wav\nText=Next\n");
  const std::string move = (dir_ / "next") + " " + (dir_ / "qz1.tts") + "\n";
  ASSERT_TRUE(testutil::MakeProgram(Svox() + "/svox.exe", kCopyingSvox + ("mv " + move),
                                    kCopyingSteps + ("move " + move)));
  const std::string printed = Run("[File1]\nFile=hi.wav\nText=Hi\nDir=" + Sounds() + "\n");
  EXPECT_NE(printed.find("qz1.tts was replaced while it was handled: the new file stays\r\n"),
            std::string::npos)
      << printed;
  EXPECT_EQ(testutil::ReadFile(dir_ / "qz1.tts"), "[File1]\nFile=next.wav\nText=Next\n");
  EXPECT_EQ(testutil::ReadFile(Sounds() + "/hi.wav"), "Hi");
}

}  // namespace

namespace {

class TtsStopTest : public TtsJobTest {};

TEST_F(TtsStopTest, StopEndsTheJobAfterTheEntryInHandAndTheJobStays) {
  // The synthesiser of the first entry asks the service to stop, as a
  // SIGTERM arriving during the synthesis would.
  ASSERT_TRUE(testutil::MakeProgram(Svox() + "/svox.exe", std::string(kCopyingSvox) + "sleep 0.2\n",
                                    std::string(kCopyingSteps) + "sleep 200\n"));
  platform::SetSleep([](uint32_t milliseconds) {
    if (milliseconds != 200) platform::RequestStop();  // a wait for the synthesiser
  });
  const std::string job = "[File1]\nFile=one.wav\nText=One\nDir=" + Sounds() +
                          "\n[File2]\nFile=two.wav\nText=Two\nDir=" + Sounds() + "\n";
  const std::string printed = Run(job);
  platform::ResetStopRequest();
  EXPECT_NE(printed.find("TTS job stopped before entry File2: the service is stopping; the job "
                         "stays\r\n"),
            std::string::npos)
      << printed;
  EXPECT_EQ(testutil::ReadFile(dir_ / "qz1.tts"), job);  // neither archived nor deleted
  EXPECT_FALSE(testutil::FileExists(Sounds() + "/two.wav"));
  EXPECT_EQ(Log(), "<missing>");
}

}  // namespace

}  // namespace qza
