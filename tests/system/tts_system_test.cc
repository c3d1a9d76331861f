// TTS jobs through the real binary, with a fake svox.exe that records its
// arguments and working directory, and once through the real contrib svox.exe.
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <vector>

#include "system/ServiceFixture.h"
#include "tts/TtsJob.h"

namespace qza {

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

namespace systemtest {
namespace {

// Speech that a job may not write: each Dir= below leads outside the allowed
// directories (the test directory, where the service runs, and the spool).
TEST_F(TtsSystemTest, DirectoryOutsideTheAllowedOnesIsRefusedHoweverItIsNamed) {
  testutil::TempDir outside;
  testutil::WriteFile(outside / "victim.wav", "RIFF victim");
  // Wine makes no link that a Windows program follows as one.
  const bool links =
      !testutil::kWindows && testutil::MakeSymlink(outside.path(), Path("sounds/link"));
  ASSERT_TRUE(links || testutil::kWindows);
  const std::string o = outside.path();
  const struct {
    const char* name;
    std::string dir;
    bool link;
  } cases[] = {
      {"outside", o, false},
      {"through a link", Sounds() + "/link", true},
      {"through ..", Sounds() + "\\..\\..\\" + o.substr(o.rfind('/') + 1), false},
      {"the root", "/", false},
  };

  Service& service = StartService();
#ifndef _WIN32
  // CI runs as root: every case below then holds for root too.
  if (geteuid() == 0) {
    EXPECT_NE(service.Output().find("Running as root: the package's unit runs the service as "
                                    "the user qza_wdir"),
              std::string::npos);
  }
#endif
  int handled = 0;
  for (const auto& c : cases) {
    if (c.link && !links) continue;
    SCOPED_TRACE(c.name);
    const std::string& dir = c.dir;
    Drop("spool/qz1.tts", "[File1]\nFile=pwn.wav\nText=owned\nDir=" + dir +
                              "\n[File2]\nFile=victim.wav\nDir=" + dir +
                              "\n[File3]\nFile=ok.wav\nText=Ok\nDir=" + Sounds() + "\n");
    ++handled;
    ASSERT_TRUE(testutil::WaitFor([&] { return LogLines() == handled; }));
    ASSERT_TRUE(service.WaitForOutput("Successfully moved " + Svox() + "ok.wav", handled));
    const std::string outside_line = "' lies outside every directory of SVoxSettings/WavDirs\r\n";
    EXPECT_NE(service.Output().find("TTS entry File1 refused: its directory '" + dir +
                                    outside_line),
              std::string::npos);
    EXPECT_NE(service.Output().find("TTS entry File2 refused: its directory '" + dir +
                                    outside_line),
              std::string::npos);
    EXPECT_EQ(testutil::ReadFile(outside / "victim.wav"), "RIFF victim");
    EXPECT_FALSE(testutil::FileExists(outside / "pwn.wav"));
    EXPECT_FALSE(testutil::FileExists("/pwn.wav"));
    EXPECT_FALSE(testutil::FileExists(Path("svox/pwn.wav")));
  }
}

// Below an allowed directory speech goes on: one listed in WavDirs outside
// the installation, its subdirectories, and a link that stays inside.
TEST_F(TtsSystemTest, PublishingBelowAListedDirectoryWorks) {
  testutil::TempDir elsewhere;
  testutil::MakeDirectory(elsewhere / "sub");
  testutil::WriteFile(elsewhere / "sub/old.wav", "RIFF old");
  // A link that stays inside (on Windows, where Wine makes no such link, the
  // directory itself).
  const std::string via =
      testutil::kWindows ? elsewhere / "sub" : elsewhere / "link";
  if (!testutil::kWindows) {
    ASSERT_TRUE(testutil::MakeSymlink(elsewhere / "sub", via));
  }
  Service& service =
      StartService({{"WavDirs", " " + elsewhere.path() + " | " + Path("nothing-here") + " |"}});
  Drop("spool/qz1.tts", "[File1]\nFile=top.wav\nText=Top\nDir=" + elsewhere.path() +
                            "\n[File2]\nFile=deep.wav\nText=Deep\nDir=" + (elsewhere / "sub") +
                            "\n[File3]\nFile=old.wav\nDir=" + via +
                            "\n[File4]\nFile=here.wav\nText=Here\nDir=" + Sounds() + "\n");
  ASSERT_TRUE(testutil::WaitFor([&] { return LogLines() == 1; }));
  ASSERT_TRUE(service.WaitForOutput("Successfully moved", 2));
  ASSERT_TRUE(service.WaitForOutput("old.wav deleted"));
  EXPECT_EQ(testutil::ReadFile(elsewhere / "top.wav"), "WAV of Top");
  EXPECT_EQ(testutil::ReadFile(elsewhere / "sub/deep.wav"), "WAV of Deep");
  EXPECT_FALSE(testutil::FileExists(elsewhere / "sub/old.wav"));
  // The list replaces the defaults: the installation directory is no longer allowed.
  EXPECT_NE(service.Output().find("TTS entry File4 refused: its directory '" + Sounds() +
                                  "' lies outside every directory of SVoxSettings/WavDirs\r\n"),
            std::string::npos);
  EXPECT_FALSE(testutil::FileExists(Sounds() + "/here.wav"));
  EXPECT_NE(service.Output().find("SVoxSettings/WavDirs: directory '" + Path("nothing-here") +
                                  "' cannot be opened"),
            std::string::npos);
}

// "WAV of " and ten letters: 17 bytes an entry.
TEST_F(TtsSystemTest, ByteCapsRefuseTheRestOfAJobAndOfADirectorysDay) {
  Service& service = StartService({{"MaxJobWavBytes", "40"}, {"MaxDayWavBytes", "60"}});
  auto entry = [&](int n, const std::string& file) {
    return "[File" + std::to_string(n) + "]\nFile=" + file + "\nText=abcdefghij\nDir=" +
           Sounds() + "\n";
  };
  Drop("spool/qz1.tts", entry(1, "a.wav") + entry(2, "b.wav") + entry(3, "c.wav"));
  ASSERT_TRUE(testutil::WaitFor([&] { return LogLines() == 1; }));
  ASSERT_TRUE(service.WaitForOutput("Successfully moved", 2));
  EXPECT_NE(service.Output().find("TTS entry File3 refused: its 17 bytes of speech would pass "
                                  "the 40 bytes one job may publish "
                                  "(SVoxSettings/MaxJobWavBytes)\r\n"),
            std::string::npos);
  EXPECT_FALSE(testutil::FileExists(Sounds() + "/c.wav"));
  EXPECT_FALSE(testutil::FileExists(Path("svox/c.wav")));
  // 34 bytes went into the test directory today; the next 17 fit, then no more.
  Drop("spool/qz2.tts", entry(1, "d.wav") + entry(2, "e.wav"));
  ASSERT_TRUE(testutil::WaitFor([&] { return LogLines() == 2; }));
  ASSERT_TRUE(service.WaitForOutput("Successfully moved", 3));
  EXPECT_NE(service.Output().find("TTS entry File2 refused: its 17 bytes of speech would pass "
                                  "the 60 bytes its allowed directory may take today "
                                  "(SVoxSettings/MaxDayWavBytes)\r\n"),
            std::string::npos);
  EXPECT_EQ(testutil::ReadFile(Sounds() + "/d.wav"), "WAV of abcdefghij");
  EXPECT_FALSE(testutil::FileExists(Sounds() + "/e.wav"));
}

// Job names that differ only in case archive under the same lower-case stem:
// neither replaces the other, nor an archive already there.
TEST_F(TtsSystemTest, ArchivesOfJobsDifferingOnlyInCaseDoNotReplaceEachOther) {
  if (testutil::kWindows) GTEST_SKIP() << "names differing only in case are one file on Windows";
  testutil::MakeDirectory(Path("ttslog"));
  std::vector<std::string> planted;
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now - 2; t < now + 60; ++t) {
    const std::tm local = testutil::LocalTime(t);
    char name[64];
    std::strftime(name, sizeof name, "ttslog/qzdup_%d%m%y_%H%M%S.tts", &local);
    testutil::WriteFile(Path(name), "planted");
    planted.push_back(name);
  }
  StartService();
  Drop("spool/qzdup.tts", "[File1]\nFile=x\nText=lower\n");
  Drop("spool/QZDUP.tts", "[File1]\nFile=x\nText=upper\n");
  ASSERT_TRUE(testutil::WaitFor([&] { return LogLines() == 2; }));
  for (const std::string& name : planted) EXPECT_EQ(testutil::ReadFile(Path(name)), "planted");
  int lower = 0;
  int upper = 0;
  for (const auto& file : std::filesystem::directory_iterator(Path("ttslog"))) {
    const std::string text = testutil::ReadFile(file.path().string());
    if (text.find("Text=lower") != std::string::npos) ++lower;
    if (text.find("Text=upper") != std::string::npos) ++upper;
    if (text != "planted" && text.find("[File1]") != std::string::npos) {
      EXPECT_NE(file.path().filename().string().find('~'), std::string::npos)
          << file.path();
    }
  }
  EXPECT_EQ(lower, 1);
  EXPECT_EQ(upper, 1);
}

}  // namespace
}  // namespace systemtest

}  // namespace qza
