// Spool writers may be hostile: each row plants one entry that once let a
// writer read, change or delete files outside the spool, hang the service or
// forge its records. After each row a victim file outside the installation is
// unchanged, the service says what it refused, and a valid alarm dropped
// afterwards still launches.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "AlarmContent.h"
#include "system/ServiceFixture.h"

namespace qza {

namespace systemtest {
namespace {

constexpr char kVictimContent[] = "root-only content\n";

class HostileSpoolSystemTest : public ServiceTest {
 protected:
  HostileSpoolSystemTest() {
    for (const char* program : {"QZARUN.CMD", "QZ_DOFAX.BAT"}) AddFakeProgram(program);
    testutil::MakeDirectory(victims_);
    testutil::WriteFile(Victim(), kVictimContent);
    chmod(Victim().c_str(), 0600);
  }
  std::string Victim() const { return victims_ + "/precious"; }
  std::string Archive(int sequence) const {
    char name[32];
    snprintf(name, sizeof name, "%s_1%02d.alr", YearMonth().c_str(), sequence);
    return name;
  }
  // Drops a valid alarm with message id `id` and waits for its launch.
  bool ValidAlarmLaunches(const std::string& id) {
    testutil::AlarmFields fields;
    fields.message_id = id;
    Drop("spool/qza1k5.in", testutil::AlarmContent(fields));
    return testutil::WaitFor([&] {
      for (const std::string& call : Calls()) {
        // Launched, and archived: the next drop takes the name anew.
        if (call.find("[" + id + "]") != std::string::npos) {
          return !testutil::FileExists(Path("spool/qza1k5.in"));
        }
      }
      return false;
    });
  }
  const std::string victims_ = dir_ / "victims";  // stands for a directory outside
};

TEST_F(HostileSpoolSystemTest, EntriesThatAreNoSpoolFilesAndRecordLinks) {
  if (testutil::kWindows) {
    GTEST_SKIP() << "every row plants a symbolic link (a privilege on Windows), a FIFO or a "
                    "name that Windows cannot hold";
  }
  const std::string month = YearMonth();
  // A dangling link at the next archive name takes that name.
  ASSERT_TRUE(testutil::MakeSymlink("/nonexistent", Path("spool/" + Archive(1))));
  WriteIni({{"WaitForSec", "2"}});
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Ready\n"));

  const struct Row {
    const char* what;
    std::function<void()> plant;
    const char* printed;  // a line the service prints about it
  } rows[] = {
      {"alarm file linked to a secret",
       [this] {
         testutil::MakeSymlink(Victim(), Path("spool/qza1k3.in"));
       },
       "Spool entry 'spool/qza1k3.in' passed over: a symbolic link\r\n"},
      {"fax job linked to a secret",
       [this] {
         testutil::MakeSymlink(Victim(), Path("spool/qz1.job"));
       },
       "Spool entry 'spool/qz1.job' passed over: a symbolic link\r\n"},
      {"speech job that is a FIFO",
       [this] { testutil::MakeFifo(Path("spool/qz1.tts")); },
       "Spool entry 'spool/qz1.tts' passed over: not a regular file\r\n"},
      {"alarm file that is a FIFO with a writer",
       [this] {
         testutil::MakeFifo(Path("spool/qza1k4.in"));
#ifndef _WIN32
         // The writer keeps it open for as long as the test runs.
         static const int keep = open(Path("spool/qza1k4.in").c_str(), O_RDWR | O_NONBLOCK);
         EXPECT_GE(keep, 0);
#endif
       },
       "Spool entry 'spool/qza1k4.in' passed over: not a regular file\r\n"},
      {"fax job whose name climbs out with backslashes",
       [this] {
         testutil::MakeDirectory(Path("spool/qz"));
         testutil::WriteFile(Path("spool/qz\\..\\..\\victims\\precious.job"), "x\r\n");
       },
       "Spool entry 'spool/qz\\..\\..\\victims\\precious.job' passed over: a backslash in its "
       "name\r\n"},
      {"fax job with an escape sequence in its name",
       [this] { testutil::WriteFile(Path("spool/qz\x1b[2J.job"), ""); },
       "Spool entry 'spool/qz?[2J.job' passed over: a control character in its name\r\n"},
      {"monthly log linked to a victim",
       [this] {
         const std::string log = Path("ack/qza_" + YearMonth() + ".log");
         testutil::RemoveFile(log);
         testutil::MakeSymlink(Victim(), log);
       },
       "could not be written: a symbolic link\n"},
      {"acknowledgement linked to a victim",
       [this] {
         testutil::RemoveFile(Path("ack/qza1k5.ack"));
         testutil::MakeSymlink(Victim(), Path("ack/qza1k5.ack"));
       },
       "Acknowledge successfull\n"},
      {"message file linked to a victim",
       [this] {
         testutil::MakeSymlink(Victim(), Path("db/Mmsg.msg"));
       },
       "Successfully written message file db/.\\Mmsg.msg\n"},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    row.plant();
    const std::string id = row.printed == rows[8].printed ? "Mmsg" : "M" + std::to_string(n++);
    ASSERT_TRUE(ValidAlarmLaunches(id));
    EXPECT_TRUE(service.WaitForOutput(row.printed)) << service.Output();
    EXPECT_EQ(testutil::ReadFile(Victim()), kVictimContent);
  }
  // Each refused entry is named once, not at every pass.
  EXPECT_TRUE(service.WaitForOutput("Timeout\n", 2));
  const std::string output = service.Output();
  EXPECT_EQ(output.find("qza1k3.in' passed over"), output.rfind("qza1k3.in' passed over"));
  // The dangling link kept its name: the first alarm took the next one, once.
  const std::vector<std::string> calls = Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_NE(calls[0].find(Archive(2)), std::string::npos) << calls[0];
  EXPECT_EQ(calls.size(), static_cast<size_t>(n + 1));
  EXPECT_EQ(testutil::ReadFile(Path("db/Mmsg.msg")), "Feuer im Keller");
  EXPECT_NE(testutil::ReadFile(Path("ack/qza1k5.ack")).find("alarm launched"), std::string::npos);
  for (const std::string& record : {Path("ack/qzf_" + YearMonth() + ".log")}) {
    EXPECT_EQ(testutil::ReadFile(record).find("root-only"), std::string::npos);
  }
}

TEST_F(HostileSpoolSystemTest, ControlCharactersCannotForgeRecords) {
  WriteIni();
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Ready\n"));
  testutil::AlarmFields fields;
  fields.group = "Brand\nServer 1: alarm launched [forged]";
  fields.text = "Feuer\x1b]0;owned\x07";
  Drop("spool/qza1k3.in", testutil::AlarmContent(fields));
  // No platform can hand a field with a line break over whole (cmd would end
  // the command at it): the launch is refused, never cut short, and the
  // alarm waits.
  ASSERT_TRUE(service.WaitForOutput("]: Invalid argument\r\n"));
  EXPECT_NE(service.Output().find("FAILED to launch [QZARUN.CMD Brand?Server 1: alarm launched "
                                  "[forged] M42 "),
            std::string::npos);
  EXPECT_NE(service.Output().find("Text 'Feuer?]0;owned?'\r\n"), std::string::npos);
  EXPECT_TRUE(Calls().empty());
  EXPECT_TRUE(testutil::FileExists(Path("spool/qza1k3.in")));
  // Any other control character reaches the program; the records show it as ?.
  fields.group = "Brand\x1b[2J\tServer 1: alarm launched [forged]";
  Drop("spool/qza1k4.in", testutil::AlarmContent(fields));
  ASSERT_TRUE(WaitForCalls(1));
  ASSERT_TRUE(service.WaitForOutput("Acknowledge successfull\n"));
  const std::string ack = testutil::ReadFile(Path("ack/qza1k4.ack"));
  EXPECT_NE(ack.find("[QZARUN.CMD Brand?[2J?Server 1: alarm launched [forged] M42 0 Console_7 "),
            std::string::npos)
      << ack;
  EXPECT_EQ(std::count(ack.begin(), ack.end(), '\n'), 2);  // its two lines, no third
  EXPECT_NE(service.Output().find("Gruppe 'Brand?[2J?Server 1: alarm launched [forged]'\r\n"),
            std::string::npos);
  EXPECT_EQ(service.Output().find('\x1b'), std::string::npos);
  // The program itself gets the field as it was written.
  EXPECT_NE(testutil::ReadFile(Path("calls.log")).find("[Brand\x1b[2J\tServer 1: alarm"),
            std::string::npos);
}

// The example programs of the package log each start in one line: a control
// character of an argument is logged as ?, so no field forges a line.
TEST_F(HostileSpoolSystemTest, ExampleProgramsLogControlCharactersAsQuestionMarks) {
  if (testutil::kWindows) GTEST_SKIP() << "the example programs are shell scripts";
  const std::string examples = std::string(QZA_SOURCE_DIR) + "/contrib/package/examples/bin/";
  ASSERT_TRUE(testutil::MakeDirectory(Path("log")));
  for (const char* program :
       {"QZARUN.CMD", "tovarin.exe", "QZ_DOFAX.BAT", "QZA_WARN.BAT", "QZA_WARN.CMD"}) {
    std::filesystem::copy_file(examples + program, Path("bin/") + program,
                               std::filesystem::copy_options::overwrite_existing);
    // A line feed, which the service no longer hands over, and an escape.
    const std::string command = "\"" + Path("bin/") + program +
                                "\" \"$(printf 'a\\nforged line')\" "
                                "\"$(printf 'b\\033[2Jc\\177')\"";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  WriteIni();
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Ready\n"));
  testutil::AlarmFields fields;
  fields.group = "Brand\x1b[2J\tx";
  Drop("spool/qza1k3.in", testutil::AlarmContent(fields));
  Drop("spool/qz1.job", "0711\x1b[2J\r\nname\x07\r\nc\r\nd\r\n");
  const std::string log_path = Path("log/programs.log");
  ASSERT_TRUE(testutil::WaitFor([&] {
    const std::string log = testutil::ReadFile(log_path);
    return std::count(log.begin(), log.end(), '\n') >= 7;
  })) << testutil::ReadFile(log_path);
  const std::string log = testutil::ReadFile(log_path);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 7) << log;
  auto control = [](char c) {
    return c != '\n' && (static_cast<unsigned char>(c) < 0x20 || c == 0x7f);
  };
  EXPECT_EQ(std::count_if(log.begin(), log.end(), control), 0) << log;
  for (const char* text : {"QZARUN.CMD [a?forged line] [b?[2Jc?]\n",
                           "QZA_WARN.CMD [a?forged line] [b?[2Jc?]\n",
                           "QZARUN.CMD [Brand?[2J?x] [M42] [0] [Console_7] [spool/.\\",
                           "QZ_DOFAX.BAT [0711?[2J] [name?] [c] [d]\n"}) {
    EXPECT_NE(log.find(text), std::string::npos) << text << "\n" << log;
  }
}

}  // namespace
}  // namespace systemtest

}  // namespace qza
