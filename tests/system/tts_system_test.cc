// TTS jobs through the real binary, with a fake svox.exe that records its
// arguments and working directory, and once through the real contrib svox.exe.
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <vector>

#include "system/ServiceFixture.h"
#include "tts/TtsJob.h"

namespace systemtest {
namespace {

// Turns a path text into a Linux path, as the fake synthesiser must.
const char kNative[] = "sed -e 's|\\\\|/|g'";

class TtsSystemTest : public ServiceTest {
 protected:
  TtsSystemTest() {
    testutil::MakeDirectory(Path("sounds"));
    testutil::MakeProgram(
        Path("svox/svox.exe"),
        "#!/bin/sh\n"
        "line='svox.exe'\n"
        "for a in \"$@\"; do line=\"$line [$a]\"; done\n"
        "printf '%s (in %s)\\n' \"$line\" \"$(pwd)\" >> " + Path("calls.log") + "\n"
        "eval in=\\${$(($# - 1))} out=\\${$#}\n"
        "in=$(printf '%s' \"$in\" | " + kNative + ")\n"
        "out=$(printf '%s' \"$out\" | " + kNative + ")\n"
        "{ printf 'WAV of '; cat \"$in\"; } > \"$out.part\" && mv \"$out.part\" \"$out\"\n",
        "record " + Path("calls.log") + "\nspeak\n");
  }
  Service& StartService(const std::map<std::string, std::string>& changes = {}) {
    std::map<std::string, std::string> all = {{"SvoxPath", Svox()}};
    all.insert(changes.begin(), changes.end());
    WriteIni(all);
    Service& service = Start();
    EXPECT_TRUE(service.WaitForOutput("Ready\n"));
    return service;
  }
  std::string Svox() const { return Path("svox") + "/"; }
  std::string Sounds() const { return Path("sounds"); }
  static std::string LogName() { return "ttslog/qztts_" + YearMonth() + ".log"; }
  // Whole lines in the month's log.
  int LogLines() {
    const std::string log = testutil::ReadFile(Path(LogName()));
    int lines = 0;
    for (size_t at = log.find("]\r\n"); at != std::string::npos; at = log.find("]\r\n", at + 1))
      ++lines;
    return lines;
  }
  // True once the month's log holds a whole line.
  bool LogComplete() { return testutil::ReadFile(Path(LogName())).find("]\r\n") != std::string::npos; }
};

TEST_F(TtsSystemTest, SynthesisEntryIsSpokenPublishedArchivedAndLogged) {
  Service& service = StartService();
  const std::string job = "[File1]\r\nFile=hello.wav\r\nText=Hello\r\nDir=" + Sounds() + "\r\n";
  Drop("spool/QZ12.TTS", job);
  const std::string target = Sounds() + ".\\hello.wav";
  ASSERT_TRUE(service.WaitForOutput("Successfully moved " + Svox() + "hello.wav to " + target +
                                    "\r\n\n"));
  const std::string command = Svox() + ".\\svox.exe -v judith8 -p 100 -s 100 -e alaw " + Svox() +
                              ".\\hello.txt " + Svox() + ".\\hello.wav";
  EXPECT_NE(service.Output().find("proceeding tts job in 'spool/.\\QZ12.TTS'\r\n\n"
                                  "Create wavfile: " + Svox() + ".\\hello.wav with text: Hello\r\n"),
            std::string::npos);
  ASSERT_TRUE(WaitForCalls(1));
  EXPECT_EQ(Calls()[0], "svox.exe [-v] [judith8] [-p] [100] [-s] [100] [-e] [alaw] [" + Svox() +
                            ".\\hello.txt] [" + Svox() + ".\\hello.wav] (in " + Path("svox") + ")");
  EXPECT_EQ(testutil::ReadFile(Sounds() + "/hello.wav"), "WAV of Hello");
  EXPECT_FALSE(testutil::FileExists(Path("svox/hello.txt")));
  EXPECT_FALSE(testutil::FileExists(Path("svox/hello.wav")));
  ASSERT_TRUE(testutil::WaitFor([&] { return LogComplete(); }));
  EXPECT_FALSE(testutil::FileExists(Path("spool/QZ12.TTS")));
  const std::string log = testutil::ReadFile(Path(LogName()));
  ASSERT_GT(log.size(), 17u);
  EXPECT_EQ(log.substr(17), ", tts job 'qz12' done [shell=" + command + "]\r\n");
  // The archive copy carries the job's bytes under the date and time of the log line.
  const std::string stamp = log.substr(0, 2) + log.substr(3, 2) + log.substr(6, 2) + "_" +
                            log.substr(9, 2) + log.substr(12, 2) + log.substr(15, 2);
  EXPECT_EQ(testutil::ReadFile(Path("ttslog/qz12_" + stamp + ".tts")), job);
}

TEST_F(TtsSystemTest, EntriesInOrderDeletionsAndSkippedSections) {
  testutil::WriteFile(Sounds() + "/old.wav", "RIFF old");
  Service& service = StartService();
  Drop("spool/qz1.tts",
       "[File0]\nFile=zero.wav\nText=zero\nDir=" + Sounds() + "\n"
       "[File3]\nFile=second\nText=Second\nDir=" + Sounds() + "\n"
       "[File1]\nFile=first.wav\nText=First\nDir=" + Sounds() + "\n"
       "[File2]\nFile=x\nText=ignored\n"
       "[File4]\nFile=old.wav\nDir=" + Sounds() + "\n"
       "[File100]\nFile=hundred.wav\nText=no\nDir=" + Sounds() + "\n");
  ASSERT_TRUE(service.WaitForOutput("Wavfile " + Sounds() + ".\\old.wav deleted\r\n\n"));
  ASSERT_TRUE(service.WaitForOutput("Successfully moved", 2));
  ASSERT_TRUE(WaitForCalls(2));
  std::vector<std::string> calls = Calls();
  EXPECT_NE(calls[0].find("first.wav]"), std::string::npos);
  EXPECT_NE(calls[1].find("second.wav]"), std::string::npos);
  EXPECT_EQ(testutil::ReadFile(Sounds() + "/second.wav"), "WAV of Second");
  EXPECT_FALSE(testutil::FileExists(Sounds() + "/old.wav"));
  EXPECT_FALSE(testutil::FileExists(Sounds() + "/zero.wav"));
  EXPECT_FALSE(testutil::FileExists(Sounds() + "/hundred.wav"));
  ASSERT_TRUE(testutil::WaitFor([&] { return LogComplete(); }));
  EXPECT_NE(testutil::ReadFile(Path(LogName())).find("second.wav]\r\n"), std::string::npos);
}

TEST_F(TtsSystemTest, EmptyDirResolvesAgainstTheServiceDirectory) {
  Service& service = StartService();
  Drop("spool/qz1.tts", "[File1]\nFile=here.wav\nText=Here\nDir=\n");
  ASSERT_TRUE(service.WaitForOutput("Successfully moved " + Svox() + "here.wav to .\\here.wav"));
  EXPECT_EQ(testutil::ReadFile(Path("here.wav")), "WAV of Here");
  EXPECT_FALSE(testutil::FileExists(Path("svox/here.wav")));
}

TEST_F(TtsSystemTest, JobWithoutUsableEntriesIsStillArchivedAndLogged) {
  Service& service = StartService();
  Drop("spool/qz1.tts", "; nothing\n");
  ASSERT_TRUE(testutil::WaitFor([&] { return LogComplete(); }));
  EXPECT_NE(testutil::ReadFile(Path(LogName())).find(", tts job 'qz1' done [shell=]\r\n"),
            std::string::npos);
  EXPECT_EQ(service.Output().find("Create wavfile"), std::string::npos);
}

TEST_F(TtsSystemTest, JobHeldByItsWriterIsLeft) {
  testutil::WriteFile(Path("spool/qz1.tts"), "[File1]\nFile=a.wav\n");
  testutil::FileHolder writer(Path("spool/qz1.tts"), true);
  Service& service = StartService();
  Drop("spool/wake.txt", "");
  ASSERT_TRUE(service.WaitForOutput("Can't open job-file !\r\n"));
  EXPECT_TRUE(testutil::FileExists(Path("spool/qz1.tts")));
  EXPECT_TRUE(Calls().empty());
}

TEST_F(TtsSystemTest, VanishedJobRetriesItsDeletionAndLogsAllTheSame) {
  Service& service = StartService();
  Drop("spool/qz9.tts", "[File1]\nFile=a.wav\nText=A\nDir=" + Sounds() + "\n");
  ASSERT_TRUE(service.WaitForOutput("proceeding tts job in 'spool/.\\qz9.tts'\r\n\n"));
  ASSERT_TRUE(testutil::RemoveFile(Path("spool/qz9.tts")));  // within the 200 ms wait
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(service.WaitForOutput("Failed to delete jobfile !\r\n"));
  ASSERT_TRUE(testutil::WaitFor([&] { return LogComplete(); }, 15s));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 4s);
  EXPECT_NE(testutil::ReadFile(Path(LogName())).find(", tts job 'qz9' done [shell=]\r\n"),
            std::string::npos);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(TtsSystemTest, OverlongEntryIsSkippedAndTheNextGoesOn) {
  Service& service = StartService();
  Drop("spool/qz1.tts", "[File1]\nFile=" + std::string(75, 'l') + ".wav\nText=Long\nDir=" +
                            Sounds() + "\n[File2]\nFile=ok.wav\nText=Ok\nDir=" + Sounds() + "\n");
  ASSERT_TRUE(service.WaitForOutput("Successfully moved"));
  EXPECT_NE(service.Output().find("TTS entry File1 skipped: its synthesiser output path is longer "
                                  "than 79 characters: "),
            std::string::npos);
  EXPECT_EQ(testutil::ReadFile(Sounds() + "/ok.wav"), "WAV of Ok");
}

TEST_F(TtsSystemTest, RealSynthesiserWritesEightKilohertzALawMono) {
  if (testutil::kWindows) GTEST_SKIP() << "contrib/svox/svox.exe is a Linux script";
  if (system("command -v espeak-ng >/dev/null && command -v sox >/dev/null") != 0) {
    GTEST_SKIP() << "espeak-ng and sox are not installed";
  }
  const std::string real = std::string(QZA_SOURCE_DIR) + "/contrib/svox/svox.exe";
  ASSERT_EQ(system(("cp " + real + " " + Path("svox/svox.exe")).c_str()), 0);
  Service& service = StartService({{"Voice", "en"}});
  Drop("spool/qz1.tts", "[File1]\nFile=hello.wav\nText=Hello world\nDir=" + Sounds() + "\n");
  ASSERT_TRUE(service.WaitForOutput("Successfully moved", 1, 30s));
  const std::string wav = testutil::ReadFile(Sounds() + "/hello.wav");
  ASSERT_GT(wav.size(), 44u);
  auto u16 = [&](size_t at) { return static_cast<unsigned>(static_cast<unsigned char>(wav[at])) |
                                     static_cast<unsigned>(static_cast<unsigned char>(wav[at + 1])) << 8; };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(u16(20), 6u);     // A-law
  EXPECT_EQ(u16(22), 1u);     // mono
  EXPECT_EQ(u32(24), 8000u);  // 8 kHz
  const size_t data = wav.find("data");
  ASSERT_NE(data, std::string::npos);
  EXPECT_GE(u32(data + 4), 4000u);  // at least half a second of one-byte samples
}

// A hostile job or entry, followed by an honest one that must still be handled.
struct HostileCase {
  const char* name;
  // Puts the attack in place; `victim` is a file outside the installation.
  std::function<void(const std::string& victim)> plant;
  const char* printed;  // a line the service must print
  const char* job;      // the job's name in the spool
  bool job_stays;       // a refused job stays in the spool; an entry is only skipped
  bool posix_only = false;  // a link (a privilege on Windows) or a FIFO
};

TEST_F(TtsSystemTest, HostileJobsChangeNothingOutsideAndTheNextEntryIsHandled) {
  testutil::TempDir outside;
  const std::string victim = outside / "precious";
  auto drop_job = [&](const std::string& entries) {
    Drop("spool/qz1.tts", entries + "[File9]\nFile=ok.wav\nText=Ok\nDir=" + Sounds() + "\n");
  };
  // Renames a prepared special file into the spool, as a writer would.
  auto move_in = [&](const std::string& prepared, const std::string& job) {
    ASSERT_EQ(rename(prepared.c_str(), Path("spool/" + job).c_str()), 0);
  };
  const std::vector<HostileCase> cases = {
      {"job linked to a secret",
       [&](const std::string& v) {
         ASSERT_TRUE(testutil::MakeSymlink(v, Path("prepared")));
         move_in(Path("prepared"), "qzlink.tts");
       },
       "Spool entry 'spool/qzlink.tts' passed over: a symbolic link\r\n", "qzlink.tts", true,
       true},
      {"FIFO job",
       [&](const std::string&) {
         ASSERT_TRUE(testutil::MakeFifo(Path("prepared")));
         move_in(Path("prepared"), "qzfifo.tts");
       },
       "Spool entry 'spool/qzfifo.tts' passed over: not a regular file\r\n", "qzfifo.tts",
       true, true},
      {"oversized job",
       [&](const std::string&) {
         Drop("spool/qzbig.tts", "[File1]\nFile=big.wav\nText=" +
                                     std::string(kMaxTtsJobBytes, 'x') + "\n");
       },
       "TTS job spool/.\\qzbig.tts refused and left in place: larger than 1048576 bytes\r\n",
       "qzbig.tts", true},
      {"backslashes out of the directory",
       [&](const std::string& v) {
         drop_job("[File1]\nFile=..\\..\\" + v.substr(1) + ".wav\nText=owned\nDir=" +
                         Sounds() + "\n");
       },
       "TTS entry File1 skipped: its file name holds a path separator or a colon: ..\\..\\",
       "qz1.tts", false},
      {"slash deletion",
       [&](const std::string& v) {
         // An absolute path (on Windows without the drive, whose colon is refused too).
         drop_job("[File1]\nFile=" + (testutil::kWindows ? v.substr(2) : v) + "\nDir=\n");
       },
       "TTS entry File1 skipped: its file name holds a path separator or a colon: /",
       "qz1.tts", false},
      {"drive letter",
       [&](const std::string&) {
         drop_job("[File1]\nFile=c:precious.wav\nDir=" + Sounds() + "\n");
       },
       "TTS entry File1 skipped: its file name holds a path separator or a colon: "
       "c:precious.wav\r\n",
       "qz1.tts", false},
      {"deletion of a name that is no WAV file",
       [&](const std::string& v) {
         drop_job("[File1]\nFile=precious\nDir=" + v.substr(0, v.rfind('/')) + "\n");
       },
       "TTS entry File1 skipped: only .wav files are deleted: precious\r\n", "qz1.tts",
       false},
      {"text file linked to the victim",
       [&](const std::string& v) {
         ASSERT_TRUE(testutil::MakeSymlink(v, Path("svox/x.txt")));
         ASSERT_TRUE(testutil::MakeSymlink(v, Path("svox/x.wav")));
         drop_job("[File1]\nFile=x.wav\nText=owned\nDir=" + Sounds() + "\n");
       },
       "Successfully moved", "qz1.tts", false, true},
      {"control characters forge no line",
       [&](const std::string&) {
         drop_job("[File1]\nFile=e\x1b[2J.wav\nText=x\nDir=" + Sounds() +
                  "\n[File2]\nFile=ctl.wav\nText=a\x1b[2J\tb\nDir=" + Sounds() + "\n");
       },
       "TTS entry File1 skipped: its file name holds a blank, a quote or a control character: "
       "e?[2J.wav\r\n",
       "qz1.tts", false},
  };
  Service& service = StartService();
  int handled = 0;
  for (const auto& c : cases) {
    if (testutil::kWindows && c.posix_only) continue;
    SCOPED_TRACE(c.name);
    testutil::WriteFile(victim, "precious bytes");
    c.plant(victim);
    ++handled;
    if (c.job_stays) {
      // The refused job stays; an honest job dropped after it is handled.
      Drop("spool/qz2.tts", "[File1]\nFile=ok.wav\nText=Ok\nDir=" + Sounds() + "\n");
    }
    ASSERT_TRUE(service.WaitForOutput("Successfully moved " + Svox() + "ok.wav to " + Sounds() +
                                          ".\\ok.wav\r\n\n",
                                      handled, 20s));
    // The honest job is done once its log line is written.
    ASSERT_TRUE(testutil::WaitFor([&] { return LogLines() == handled; }));
    EXPECT_NE(service.Output().find(c.printed), std::string::npos);
    EXPECT_EQ(testutil::ReadFile(victim), "precious bytes");
    EXPECT_EQ(testutil::ReadFile(Sounds() + "/ok.wav"), "WAV of Ok");
    const std::string job = Path(std::string("spool/") + c.job);
    EXPECT_EQ(testutil::FileExists(job) || testutil::IsSymlink(job), c.job_stays);
    testutil::RemoveFile(job);
    testutil::RemoveFile(Sounds() + "/ok.wav");
  }
  // Nothing a refused job held reached the archive.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(Path("ttslog"))) {
    EXPECT_EQ(testutil::ReadFile(entry.path().string()).find("precious bytes"), std::string::npos)
        << entry.path();
  }
  EXPECT_EQ(service.Output().find('\x1b'), std::string::npos);
  EXPECT_EQ(testutil::ReadFile(Path(LogName())).find('\x1b'), std::string::npos);
}

TEST_F(TtsSystemTest, SameStemInTwoDirectoriesPublishesEachItsOwnSpeech) {
  // The first publishing waits for its read-only target, so the second
  // synthesis runs while the first output is still unpublished.
  testutil::MakeDirectory(Path("sounds2"));
  testutil::WriteFile(Sounds() + "/hello.wav", "RIFF old");
  chmod((Sounds() + "/hello.wav").c_str(), 0444);
  Service& service = StartService();
  Drop("spool/qz1.tts", "[File1]\nFile=hello.wav\nText=First\nDir=" + Sounds() +
                            "\n[File2]\nFile=hello.wav\nText=Second\nDir=" + Path("sounds2") +
                            "\n");
  ASSERT_TRUE(WaitForCalls(2));
  EXPECT_NE(Calls()[1].find("[" + Svox() + ".\\hello~2.wav]"), std::string::npos);
  chmod((Sounds() + "/hello.wav").c_str(), 0644);
  ASSERT_TRUE(service.WaitForOutput("Successfully moved", 2, 20s));
  EXPECT_EQ(testutil::ReadFile(Sounds() + "/hello.wav"), "WAV of First");
  EXPECT_EQ(testutil::ReadFile(Path("sounds2/hello.wav")), "WAV of Second");
  EXPECT_FALSE(testutil::FileExists(Path("svox/hello.wav")));
  EXPECT_FALSE(testutil::FileExists(Path("svox/hello~2.wav")));
  EXPECT_NE(service.Output().find("Successfully moved " + Svox() + "hello~2.wav to " +
                                  Path("sounds2") + ".\\hello.wav\r\n\n"),
            std::string::npos);
}

}  // namespace
}  // namespace systemtest
