// Alarm files through the real binary: the console account, the argument
// vector of the alarm program, the archive, message, acknowledgement and log
// files, and the bad input that must never launch anything.
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>

#include "AlarmContent.h"
#include "system/ServiceFixture.h"

namespace qza {

namespace systemtest {
namespace {

class AlarmSystemTest : public ServiceTest {
 protected:
  AlarmSystemTest() {
    AddFakeProgram("QZARUN.CMD");
    AddFakeProgram("tovarin.exe");
  }
  Service& StartWith(const std::map<std::string, std::string>& changes = {}) {
    WriteIni(changes);
    Service& service = Start();
    EXPECT_TRUE(service.WaitForOutput("Ready\n"));
    return service;
  }
  std::string Archive(int sequence) const {
    char name[32];
    snprintf(name, sizeof name, "%s_1%02d.alr", YearMonth().c_str(), sequence);
    return name;
  }
  // The month's alarm log once it holds `text` (the line follows the
  // acknowledgement), or what it holds at the deadline.
  std::string LogWith(const std::string& text) {
    const std::string path = Path("ack/qza_" + YearMonth() + ".log");
    testutil::WaitFor([&] { return testutil::ReadFile(path).find(text) != std::string::npos; });
    return testutil::ReadFile(path);
  }
  // The output printed after the last "Ready\n".
  std::string OutputAfterReady() {
    std::string output = service_->Output();
    return output.substr(output.find("Ready\n") + 6);
  }
};

TEST_F(AlarmSystemTest, RealAlarmLeavesExactRecords) {
  Service& service = StartWith();
  Drop("spool/qza1k3.in", testutil::AlarmContent({}));
  ASSERT_TRUE(service.WaitForOutput("Acknowledge successfull\n"));
  ASSERT_TRUE(WaitForCalls(1));
  const std::string archive = "spool/.\\" + Archive(1);
  const std::string command = "QZARUN.CMD Brand M42 0 Console_7 " + archive;
  EXPECT_EQ(OutputAfterReady(),
            "Event\n"
            "proceeding alarm in 'spool/.\\qza1k3.in'\r\n"
            "Echter Alarm\r\n"
            "Gruppe 'Brand'\r\n"
            "Text 'Feuer im Keller'\r\n"
            "Successfully written message file db/.\\M42.msg\n"
            "launching [" + command + "]\r\n"
            "'spool/.\\qza1k3.in' renamed to '" + archive + "'\r\n"
            "Acknowledge successfull\n");  // the service's own rename wakes no pass
  EXPECT_EQ(Calls(), (std::vector<std::string>{"QZARUN.CMD [Brand] [M42] [0] [Console_7] [" +
                                                archive + "]"}));
  EXPECT_EQ(testutil::ReadFile(Path("db/M42.msg")), "Feuer im Keller");
  EXPECT_EQ(testutil::ReadFile(Path("spool/" + Archive(1))), testutil::AlarmContent({}));
  EXPECT_FALSE(testutil::FileExists(Path("spool/qza1k3.in")));
  EXPECT_EQ(testutil::ReadFile(Path("ack/qza1k3.ack")),
            "Server 1: alarm launched [" + command + "]\r\nServer 1: alarm-file " + archive +
                "\r\n");
  const std::string log = LogWith(")\r\n");
  ASSERT_EQ(log.size(), 8 + std::string(":Server 1, alarm launched [shell=").size() +
                            command.size() + std::string("] (file=").size() + archive.size() + 3);
  EXPECT_EQ(log.substr(2, 1) + log.substr(5, 1), "::");
  EXPECT_EQ(log.substr(8), ":Server 1, alarm launched [shell=" + command + "] (file=" + archive +
                               ")\r\n");
}

TEST_F(AlarmSystemTest, ArchiveSequenceFillsTheFirstGap) {
  for (int sequence : {1, 2, 4}) testutil::WriteFile(Path("spool/" + Archive(sequence)), "old");
  Service& service = StartWith();
  Drop("spool/qza1k3.in", testutil::AlarmContent({}));
  ASSERT_TRUE(service.WaitForOutput("Acknowledge successfull\n"));
  EXPECT_TRUE(testutil::FileExists(Path("spool/" + Archive(3))));
  Drop("spool/qza1k4.in", testutil::AlarmContent({}));
  ASSERT_TRUE(service.WaitForOutput("Acknowledge successfull\n", 2));
  EXPECT_TRUE(testutil::FileExists(Path("spool/" + Archive(5))));
  EXPECT_TRUE(testutil::FileExists(Path("ack/qza1k4.ack")));
  const std::string log = LogWith("(file=spool/.\\" + Archive(5) + ")\r\n");
  EXPECT_NE(log.find("(file=spool/.\\" + Archive(3) + ")\r\n"), std::string::npos);
  EXPECT_NE(log.find("(file=spool/.\\" + Archive(5) + ")\r\n"), std::string::npos);
}

TEST_F(AlarmSystemTest, ArchiveNamesMadeOrRemovedByOthersWhileRunningAreKnown) {
  Service& service = StartWith();
  int acknowledged = 0;
  auto alarm_archived_as = [&](int sequence) {
    Drop("spool/qza1k3.in", testutil::AlarmContent({}));
    EXPECT_TRUE(service.WaitForOutput("Acknowledge successfull\n", ++acknowledged));
    return testutil::ReadFile(Path("ack/qza1k3.ack")).find(Archive(sequence)) != std::string::npos;
  };
  EXPECT_TRUE(alarm_archived_as(1));
  Drop("spool/" + Archive(2), "made by an operator");  // moved in
  testutil::WriteFile(Path("spool/" + Archive(3)), "written in place");
  EXPECT_TRUE(alarm_archived_as(4));
  ASSERT_TRUE(testutil::RemoveFile(Path("spool/" + Archive(2))));  // below the highest
  EXPECT_TRUE(alarm_archived_as(2));
  if (!testutil::kWindows) {  // links need a privilege on Windows
    ASSERT_TRUE(testutil::MakeSymlink("/nonexistent", Path("spool/" + Archive(5))));
    EXPECT_TRUE(alarm_archived_as(6));  // a dangling link takes its name too
  }
}

TEST_F(AlarmSystemTest, UnrecognisedTypeIsDeleted) {
  Service& service = StartWith();
  testutil::AlarmFields fields;
  fields.type = "ALARM ";
  Drop("spool/qza1k3.in", testutil::AlarmContent(fields));
  ASSERT_TRUE(service.WaitForOutput("Alarmtyp unbekannt\r\n"));
  EXPECT_TRUE(testutil::WaitFor([&] { return !testutil::FileExists(Path("spool/qza1k3.in")); }));
  EXPECT_TRUE(Calls().empty());
}

TEST_F(AlarmSystemTest, InvalidChecksumIsReportedAtEveryChangeOfTheFileAndNeverLaunched) {
  Service& service = StartWith({{"WaitForSec", "1"}});
  testutil::AlarmFields fields;
  fields.check_offset = 1;
  Drop("spool/qza1k3.in", testutil::AlarmContent(fields));
  ASSERT_TRUE(service.WaitForOutput("Invalid alarm-file !\r\n"));
  Drop("spool/other.txt", "a change that no pattern matches");
  ASSERT_TRUE(service.WaitForOutput("Timeout\n"));  // the full listing of the time-out
  ASSERT_TRUE(service.WaitForOutput("Invalid alarm-file !\r\n", 2));
  EXPECT_EQ(service.Output().find("Event\nproceeding alarm", service.Output().find("Invalid")),
            std::string::npos);  // other.txt woke no pass
  // The file's own change.
  ASSERT_TRUE(testutil::SetModificationTime(Path("spool/qza1k3.in"), std::time(nullptr) + 2));
  ASSERT_TRUE(service.WaitForOutput("Event\nproceeding alarm in 'spool/.\\qza1k3.in'\r\n"));
  EXPECT_TRUE(testutil::FileExists(Path("spool/qza1k3.in")));
  EXPECT_TRUE(Calls().empty());
  EXPECT_FALSE(testutil::FileExists(Path("ack/qza1k3.ack")));
}

TEST_F(AlarmSystemTest, OutlookStartWithInvalidChecksumIsLaunchedOnceAndArchived) {
  Service& service = StartWith();
  testutil::AlarmFields fields;
  fields.type = "OLSTART";
  fields.check_offset = 5;
  Drop("spool/qza1k3.in", testutil::AlarmContent(fields));
  ASSERT_TRUE(service.WaitForOutput("Invalid alarm-file !\r\n"));
  const std::string archive = "spool/.\\" + Archive(1);
  EXPECT_NE(OutputAfterReady().find("Starte Outlook\r\nGruppe 'Brand'\r\nText 'Feuer im Keller'\r\n"
                                    "launching [tovarin.exe Brand M42 0 Console_7 ]\r\n"
                                    "'spool/.\\qza1k3.in' renamed to '" + archive + "'\r\n"
                                    "Invalid alarm-file !\r\n"),
            std::string::npos);
  ASSERT_TRUE(WaitForCalls(1));
  Drop("spool/qza1k9.dog", "");  // a later pass
  ASSERT_TRUE(service.WaitForOutput("Watchdog event (from console 9) cleared\n"));
  EXPECT_EQ(Calls(), (std::vector<std::string>{"tovarin.exe [Brand] [M42] [0] [Console_7]"}));
  EXPECT_FALSE(testutil::FileExists(Path("ack/qza1k3.ack")));
}

TEST_F(AlarmSystemTest, ValidOutlookStartIsLaunchedOnceWithTheRecordsOfAValidAlarm) {
  Service& service = StartWith();
  testutil::AlarmFields fields;
  fields.type = "olStart";
  Drop("spool/qza1k3.in", testutil::AlarmContent(fields));
  ASSERT_TRUE(service.WaitForOutput("Acknowledge successfull\n"));
  const std::string archive = "spool/.\\" + Archive(1);
  EXPECT_NE(OutputAfterReady().find("launching [tovarin.exe Brand M42 0 Console_7 ]\r\n"
                                    "'spool/.\\qza1k3.in' renamed to '" + archive + "'\r\n"
                                    "Successfully written message file db/.\\M42.msg\n"
                                    "Acknowledge successfull\n"),
            std::string::npos);
  ASSERT_TRUE(WaitForCalls(1));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Calls().size(), 1u);
  EXPECT_EQ(testutil::ReadFile(Path("ack/qza1k3.ack")),
            "Server 1: alarm launched [tovarin.exe Brand M42 0 Console_7 " + archive +
                "]\r\nServer 1: alarm-file " + archive + "\r\n");
}

TEST_F(AlarmSystemTest, VoxTextAndEmptyText) {
  Service& service = StartWith({{"UseVoxFile", "1"}});
  static const struct {
    const char* file;
    const char* text;
    const char* third;
  } cases[] = {{"qza1k1.in", "abc", "[0]"}, {"qza1k2.in", "abcd", "[abcd]"}, {"qza1k3.in", "", "[0]"}};
  int n = 0;
  for (const auto& c : cases) {
    testutil::AlarmFields fields;
    fields.text = c.text;
    fields.message_id = std::string("T") + c.file;
    Drop(std::string("spool/") + c.file, testutil::AlarmContent(fields));
    ASSERT_TRUE(service.WaitForOutput("Acknowledge successfull\n", ++n));
    ASSERT_TRUE(WaitForCalls(n));
    EXPECT_NE(Calls().back().find(std::string("] ") + c.third + " [Console_7]"), std::string::npos)
        << Calls().back();
  }
  EXPECT_FALSE(testutil::FileExists(Path("db/Tqza1k3.in.msg")));
  EXPECT_EQ(OutputAfterReady().find("message file db/.\\Tqza1k3.in.msg"), std::string::npos);
}

TEST_F(AlarmSystemTest, HalfWrittenFileIsLeftUntilItsWriterCloses) {
  const std::string content = testutil::AlarmContent({});
  testutil::WriteFile(Path("spool/qza1k3.in"), content.substr(0, 20));
  {
    testutil::FileHolder writer(Path("spool/qza1k3.in"), true);
    Service& service = StartWith();  // its first pass meets the file still open
    ASSERT_TRUE(service.WaitForOutput("Can't open alarm-file !\r\n"));
    EXPECT_TRUE(testutil::FileExists(Path("spool/qza1k3.in")));
    std::ofstream(Path("spool/qza1k3.in"), std::ios::binary | std::ios::trunc) << content;
  }  // the writer's close is the change that brings the file up again
  ASSERT_TRUE(service_->WaitForOutput("Acknowledge successfull\n"));
  ASSERT_TRUE(WaitForCalls(1));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Calls().size(), 1u);
}

TEST_F(AlarmSystemTest, ShellMetacharactersArePlainArguments) {
  Service& service = StartWith();
  testutil::AlarmFields fields;
  fields.group = "a;touch&echo";
  fields.message_id = "$(touch";
  fields.console_name = "`touch`|>x";
  Drop("spool/qza1k3.in", testutil::AlarmContent(fields));
  ASSERT_TRUE(service.WaitForOutput("Acknowledge successfull\n"));
  ASSERT_TRUE(WaitForCalls(1));
  EXPECT_EQ(Calls()[0], "QZARUN.CMD [a;touch&echo] [$(touch] [0] [`touch`|>x] [spool/.\\" +
                            Archive(1) + "]");
  EXPECT_FALSE(testutil::FileExists(Path("x")));
}

TEST_F(AlarmSystemTest, EachFieldIsOneArgumentWhateverItHolds) {
  // The records keep the command line as text; the program gets the fields.
  Service& service = StartWith({{"UseVoxFile", "1"}});
  static const struct {
    testutil::AlarmFields fields;
    const char* command;  // without the archive name
    const char* call;
  } cases[] = {
      // A group that poses as the remaining arguments and a file of its choice.
      {{.group = "Brand M9 0 Console_9 /srv/qzt/qza_wdir.ini", .text = "abc"},
       "QZARUN.CMD Brand M9 0 Console_9 /srv/qzt/qza_wdir.ini M42 0 Console_7 ",
       "QZARUN.CMD [Brand M9 0 Console_9 /srv/qzt/qza_wdir.ini] [M42] [0] [Console_7]"},
      // A quote in the console name must not swallow the archive name.
      {{.text = "Feuer im Keller", .console_name = "Leit\"stand \"x"},
       "QZARUN.CMD Brand M42 Feuer im Keller Leit\"stand \"x ",
       "QZARUN.CMD [Brand] [M42] [Feuer im Keller] [Leit\"stand \"x]"},
      {{.type = "OLSTART", .group = "\"G 1\"", .text = "", .console_id = "a b"},
       "tovarin.exe \"G 1\" M42 0 Console_a b ",
       "tovarin.exe [\"G 1\"] [M42] [0] [Console_a b]"},
      // Empty fields keep their places.
      {{.group = "", .text = "", .console_id = ""},
       "QZARUN.CMD  M42 0 Console_ ", "QZARUN.CMD [] [M42] [0] [Console_]"},
  };
  int n = 0;
  for (const auto& c : cases) {
    Drop("spool/qza1k3.in", testutil::AlarmContent(c.fields));
    ASSERT_TRUE(service.WaitForOutput("Acknowledge successfull\n", ++n)) << c.command;
    ASSERT_TRUE(WaitForCalls(n)) << c.command;
    const std::string archive = "spool/.\\" + Archive(n);
    const std::string outlook = c.fields.type == "OLSTART" ? "" : " [" + archive + "]";
    EXPECT_EQ(Calls().back(), c.call + outlook);
    const std::string command = c.command + archive;
    EXPECT_NE(OutputAfterReady().find("launching [" + (outlook.empty() ? c.command : command) +
                                      "]\r\n"),
              std::string::npos)
        << c.command;
    EXPECT_EQ(testutil::ReadFile(Path("ack/qza1k3.ack")),
              "Server 1: alarm launched [" + command + "]\r\nServer 1: alarm-file " + archive +
                  "\r\n");
    EXPECT_NE(LogWith(archive + ")\r\n").find("[shell=" + command + "] (file="), std::string::npos);
  }
}

TEST_F(AlarmSystemTest, FieldWithALineBreakIsNeverLaunched) {
  // No platform can hand such a field over whole (cmd would end the command
  // at it): the launch is refused, never cut, and the alarm stays.
  Service& service = StartWith({{"UseVoxFile", "1"}});
  static const struct {
    testutil::AlarmFields fields;
    const char* shown;
  } cases[] = {
      {{.group = "a\nb"}, "QZARUN.CMD a?b M42 Feuer im Keller Console_7 "},
      {{.text = "Feuer\rim Keller"}, "QZARUN.CMD Brand M42 Feuer?im Keller Console_7 "},
      {{.type = "OLSTART", .console_name = "x\ny"}, "tovarin.exe Brand M42 Feuer im Keller x?y "},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string name = "qza1k" + std::to_string(++n) + ".in";
    Drop("spool/" + name, testutil::AlarmContent(c.fields));
    const std::string archive = c.fields.type == "OLSTART" ? "" : "spool/.\\" + Archive(1);
    ASSERT_TRUE(service.WaitForOutput(std::string("FAILED to launch [") + c.shown + archive +
                                      "]: Invalid argument\r\n"))
        << c.shown;
    EXPECT_TRUE(testutil::FileExists(Path("spool/" + name)));
  }
  EXPECT_TRUE(Calls().empty());
  EXPECT_FALSE(testutil::FileExists(Path("spool/" + Archive(1))));
  EXPECT_EQ(OutputAfterReady().find("Acknowledge"), std::string::npos);
}

TEST_F(AlarmSystemTest, MessageIdCannotWriteOutsideDbPath) {
  Service& service = StartWith();
  int n = 0;
  for (const char* id : {"..\\evil", "../evil", "..", "c:evil"}) {
    testutil::AlarmFields fields;
    fields.message_id = id;
    Drop("spool/qza1k3.in", testutil::AlarmContent(fields));
    ASSERT_TRUE(service.WaitForOutput("Acknowledge successfull\n", ++n)) << id;
    EXPECT_NE(OutputAfterReady().find(std::string("FAILED to write messagefile db/.\\") + id +
                                      ".msg\n"),
              std::string::npos)
        << id;
  }
  EXPECT_FALSE(testutil::FileExists(Path("evil.msg")));
  EXPECT_FALSE(testutil::FileExists(Path("..msg")));
  EXPECT_TRUE(std::filesystem::is_empty(Path("db")));
  EXPECT_TRUE(WaitForCalls(4));  // the launches go on
}

TEST_F(AlarmSystemTest, GarbageNeitherCrashesNorLaunches) {
  Service& service = StartWith();
  std::string random(4096, '\0');
  unsigned state = 12345;
  for (char& c : random) c = static_cast<char>((state = state * 1103515245 + 12345) >> 16);
  random.insert(0, "x\r\nALARM\r\n");
  Drop("spool/qza1k1.in", random);
  Drop("spool/qza1k2.in", "x\r\nPROBE\r\n" + std::string(200000, 'A'));
  std::string long_lines = "x\r\nALARM\r\n";
  for (int i = 0; i < 18; ++i) long_lines += std::string(1000, 'L') + "\r\n";
  Drop("spool/qza1k4.in", long_lines);
  ASSERT_TRUE(service.WaitForOutput("Invalid alarm-file !\r\n", 3));
  Drop("spool/qza1k5.in", testutil::AlarmContent({}));
  ASSERT_TRUE(service.WaitForOutput("Acknowledge successfull\n"));
  ASSERT_TRUE(WaitForCalls(1));
  EXPECT_EQ(Calls().size(), 1u);
  EXPECT_TRUE(testutil::ProcessAlive(service.pid()));
}

TEST_F(AlarmSystemTest, MissingDirectoriesAndProgramAreReportedAndTheAlarmWaits) {
  WriteAlarmIni("nodb/");
  testutil::RemoveFile(Path("bin/QZARUN.CMD"));
  Service& restarted = StartWith({{"AckPath", "missing/"}});
  Drop("spool/qza1k3.in", testutil::AlarmContent({}));
  const std::string archive = "spool/.\\" + Archive(1);
  const std::string command = "QZARUN.CMD Brand M42 0 Console_7 " + archive;
  ASSERT_TRUE(restarted.WaitForOutput("FAILED to launch"));
  ASSERT_TRUE(restarted.WaitForOutput("directory\r\n"));
  // Nothing records a launch that did not happen, and the alarm stays.
  EXPECT_NE(OutputAfterReady().find("FAILED to write messagefile nodb/.\\M42.msg\n"
                                    "launching [" + command + "]\r\n"
                                    "FAILED to launch [" + command +
                                    "]: No such file or directory\r\n"),
            std::string::npos)
      << OutputAfterReady();
  EXPECT_TRUE(testutil::FileExists(Path("spool/qza1k3.in")));
  EXPECT_FALSE(testutil::FileExists(Path("spool/" + Archive(1))));
  EXPECT_EQ(OutputAfterReady().find("Acknowledge"), std::string::npos);
  // Once the program is there, the file's next change (or the next time-out)
  // launches it under the same name.
  AddFakeProgram("QZARUN.CMD");
  ASSERT_TRUE(testutil::SetModificationTime(Path("spool/qza1k3.in"), std::time(nullptr) + 2));
  ASSERT_TRUE(WaitForCalls(1));
  ASSERT_TRUE(restarted.WaitForOutput("ERROR: Log file could not be created\n"));
  EXPECT_NE(OutputAfterReady().find("'spool/.\\qza1k3.in' renamed to '" + archive + "'\r\n"
                                    "Acknowledge FAILED\n"
                                    "ERROR: Log file could not be created\n"),
            std::string::npos);
  EXPECT_TRUE(testutil::FileExists(Path("spool/" + Archive(1))));
}

// A watch directory that goes away is watched again as soon as one stands at
// its path: an alarm in it is launched long before the time-out would find it.
TEST_F(AlarmSystemTest, ReplacedOrRemadeWatchPathIsWatchedAgainAtOnce) {
  if (testutil::kWindows) {
    GTEST_SKIP() << "Windows cannot rename a watched directory, and Wine reports no end of a "
                    "watch on a removed one";
  }
  static const struct {
    const char* name;
    bool alarm_inside;  // the directory put in place already holds the alarm
  } cases[] = {
      {"replaced by a directory holding an alarm", true},
      {"removed, made again, an alarm dropped", false},
  };
  size_t launched = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    service_.reset();
    std::filesystem::remove_all(Path("spool"));
    ASSERT_TRUE(testutil::MakeDirectory(Path("spool")));
    Service& service = StartWith({{"WaitForSec", "600"}});
    if (c.alarm_inside) {
      ASSERT_TRUE(testutil::MakeDirectory(Path("new")));
      testutil::WriteFile(Path("new/qza1k3.in"), testutil::AlarmContent({}));
      ASSERT_EQ(rename(Path("spool").c_str(), Path("old").c_str()), 0);
      ASSERT_EQ(rename(Path("new").c_str(), Path("spool").c_str()), 0);
      std::filesystem::remove_all(Path("old"));
    } else {
      ASSERT_TRUE(std::filesystem::remove(Path("spool")));
      ASSERT_TRUE(testutil::MakeDirectory(Path("spool")));
      ASSERT_TRUE(service.WaitForOutput("spool/ is back: watching it again\n"));
      Drop("spool/qza1k3.in", testutil::AlarmContent({}));
    }
    EXPECT_TRUE(service.WaitForOutput("spool/ is back: watching it again\n"));
    EXPECT_TRUE(service.WaitForOutput("launching [QZARUN.CMD Brand M42"));
    EXPECT_EQ(service.Output().find("Timeout"), std::string::npos);
    // "launching" comes before the start: the service is ended for the next
    // case only once the program has run.
    ++launched;
    EXPECT_TRUE(WaitForCalls(launched));
  }
}

TEST_F(AlarmSystemTest, ThreeHundredAlarmsAreEachLaunchedOnce) {
  // A launch that the system refuses for a moment (Wine, with hundreds of
  // processes starting, now and then fails one) leaves its alarm for the next
  // time-out, which comes soon here; it is still launched once.
  Service& service = StartWith({{"WatchFiles", "spool/qza%ik*.in"}, {"WaitForSec", "2"}});
  const int kCount = 300;
  for (int i = 0; i < kCount; ++i) {
    testutil::AlarmFields fields;
    fields.message_id = std::string("M").append(std::to_string(i));
    Drop("spool/qza1k" + std::to_string(i % 10) + "_" + std::to_string(i) + ".in",
         testutil::AlarmContent(fields));
  }
  ASSERT_TRUE(service.WaitForOutput("Acknowledge successfull\n", kCount, 90s));
  ASSERT_TRUE(WaitForCalls(kCount, 30s));
  std::this_thread::sleep_for(300ms);
  std::vector<std::string> calls = Calls();
  EXPECT_EQ(calls.size(), static_cast<size_t>(kCount));
  std::set<std::string> messages, archives;
  for (const std::string& call : calls) {
    size_t m = call.find("] [M") + 3;
    messages.insert(call.substr(m, call.find(']', m) - m));
    archives.insert(call.substr(call.rfind('[')));
  }
  EXPECT_EQ(messages.size(), static_cast<size_t>(kCount));
  EXPECT_EQ(archives.size(), static_cast<size_t>(kCount));
  // No zombie children of the service (Windows keeps none).
  EXPECT_TRUE(testutil::kWindows || testutil::WaitFor([&] {
    std::string children = testutil::ReadFile("/proc/" + std::to_string(service.pid()) + "/task/" +
                                              std::to_string(service.pid()) + "/children");
    return children.empty();
  }));
}

}  // namespace
}  // namespace systemtest

}  // namespace qza
