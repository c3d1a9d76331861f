// What each handler does when one of its steps fails: the lines it prints,
// the records it leaves, whether the spool file stays, and how often the
// program started. Faults come from the platform layer's fault seam, so every
// row runs as an ordinary user on real files with real child processes.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <memory>
#include <filesystem>
#include <string>
#include <vector>

#include "AlarmContent.h"
#include "TestUtil.h"
#include "alarm/AlarmDispatch.h"
#include "support/LaunchLedger.h"
#include "fax/FaxJob.h"
#include "platform/Fault.h"

namespace qza {

namespace {

using platform::FaultPoint;

// "YYMM" of this month, as the log names carry it.
std::string YearMonth() {
  const std::tm local = testutil::LocalTime(std::time(nullptr));
  char text[32];
  snprintf(text, sizeof text, "%02d%02d", local.tm_year % 100, local.tm_mon + 1);
  return text;
}

struct Fault {
  FaultPoint point;
  int error;         // 0: no fault
  const char* part;  // which path the fault applies to
};

// Each of `lines` stands in `output`, in this order.
void ExpectInOrder(const std::string& output, const std::vector<const char*>& lines) {
  size_t at = 0;
  for (const char* line : lines) {
    const size_t found = output.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\n" << output;
    at = found + 1;
  }
}

// An installation directory with recording programs for the installation's
// commands first on PATH, a launch ledger and the two handlers; all of it is
// undone when it goes.
struct Installation {
  Installation() {
    for (const char* sub : {"spool", "ack", "db", "bin"}) testutil::MakeDirectory(dir / sub);
    for (const char* name : {"QZARUN.CMD", "tovarin.exe", "QZ_DOFAX.BAT"}) {
      EXPECT_TRUE(testutil::MakeRecordingProgram(dir / "bin", name, Calls()));
    }
    testutil::SetEnvironment("PATH", dir / "bin" + testutil::kPathListSeparator + old_path);
    ledger = std::make_unique<LaunchLedger>(dir / "qza_wdir.journal");
    ledger->Open(false, 0);
    alarms = std::make_unique<AlarmHandler>(settings, *ledger);
    faxes = std::make_unique<FaxHandler>(settings, *ledger);
    Set(settings.WatchPath, dir / "spool/");
    Set(settings.AckPath, dir / "ack/");
    Set(settings.DbPath, dir / "db/");
  }
  ~Installation() {
    alarms.reset();
    faxes.reset();
    ledger.reset();
    testutil::SetEnvironment("PATH", old_path);
  }
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  static void Set(char (&field)[kPathSize], const std::string& value) {
    snprintf(field, kPathSize, "%s", value.c_str());
  }
  std::string Calls() const { return dir / "calls.log"; }

  testutil::TempDir dir;
  const std::string old_path = testutil::GetEnvironment("PATH");
  Settings settings;
  std::unique_ptr<LaunchLedger> ledger;
  std::unique_ptr<AlarmHandler> alarms;
  std::unique_ptr<FaxHandler> faxes;
};

class HandlerFaultsTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearFaults(); }
  std::string Calls() const { return home_->Calls(); }
  // Starts a row in a fresh installation (the previous row's is removed
  // first): the spool file `name` with `content`, and the row's fault armed.
  // Returns the spool file's path.
  std::string StartRow(const Fault& fault, const char* name, const std::string& content) {
    platform::ClearFaults();
    home_.reset();
    home_ = std::make_unique<Installation>();
    const std::string spool_file = home_->dir / (std::string("spool/") + name);
    testutil::WriteFile(spool_file, content);
    if (fault.error != 0) platform::InjectFault(fault.point, fault.error, fault.part);
    return spool_file;
  }
  // The calls once `count` have been recorded (launches are detached).
  size_t LaunchCount(size_t expected) {
    testutil::WaitFor([&] { return CountLines(testutil::ReadFile(Calls())) >= expected; },
                      std::chrono::seconds(5));
    return CountLines(testutil::ReadFile(Calls()));
  }
  static size_t CountLines(const std::string& text) {
    if (text == "<missing>") return 0;
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
  }
  template <typename F>
  std::string Printed(F handler) {
    testutil::CaptureStdout();
    handler();
    return testutil::GetCapturedStdout();
  }
  std::unique_ptr<Installation> home_ = std::make_unique<Installation>();
};

TEST_F(HandlerFaultsTest, AlarmSteps) {
  static const struct {
    Fault fault;
    std::vector<const char*> lines;  // each printed once, in this order
    bool launched, archived, acknowledged, logged;
  } cases[] = {
      {{FaultPoint::kOpen, 0, ""},
       {"launching [", "renamed to", "Acknowledge successfull\n"}, true, true, true, true},
      {{FaultPoint::kSpawn, EAGAIN, "QZARUN.CMD"},
       {"launching [", "FAILED to launch [QZARUN.CMD Brand M42 0 Console_7 ",
        "]: Resource temporarily unavailable\r\n"},
       false, false, false, false},
      {{FaultPoint::kRename, EPERM, "qza1k3.in"},
       {"launching [", "FAILED to rename '", "': Operation not permitted\r\n",
        "was launched but could not be archived", "Acknowledge successfull\n"},
       true, false, true, true},
      {{FaultPoint::kOpen, ENOSPC, ".msg"},
       {"FAILED to write messagefile ", "launching [", "Acknowledge successfull\n"},
       true, true, true, true},
      {{FaultPoint::kWrite, ENOSPC, ".msg"},
       {"FAILED to write messagefile ", "launching [", "Acknowledge successfull\n"},
       true, true, true, true},
      {{FaultPoint::kWrite, ENOSPC, ".ack"},
       {"launching [", "renamed to", "Acknowledge FAILED\n"}, true, true, false, true},
      {{FaultPoint::kClose, EIO, ".ack"},
       {"launching [", "renamed to", "Acknowledge FAILED\n"}, true, true, false, true},
      {{FaultPoint::kRead, EIO, "qza1k3.in"},
       {"Can't read alarm-file ! (Input/output error)\r\n"}, false, false, false, false},
      {{FaultPoint::kWrite, ENOSPC, ".log"},
       {"Acknowledge successfull\n", "could not be written: No space left on device\n"},
       true, true, true, false},
  };
  int row = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE("row " + std::to_string(row++));
    const std::string spool_file = StartRow(c.fault, "qza1k3.in", testutil::AlarmContent({}));
    const testutil::TempDir& dir_ = home_->dir;
    const std::string path = dir_ / "spool/.\\qza1k3.in";
    const std::string output = Printed([&] { home_->alarms->ProcessAlarmFile(path.c_str(), 3); });
    ExpectInOrder(output, c.lines);
    EXPECT_EQ(LaunchCount(c.launched ? 1 : 0), c.launched ? 1u : 0u) << output;
    EXPECT_EQ(testutil::FileExists(spool_file), !c.archived);
    const std::string ack = testutil::ReadFile(dir_ / "ack/qza1k3.ack");
    EXPECT_EQ(ack != "<missing>", c.acknowledged) << ack;
    if (c.acknowledged) {
      // The record names where the alarm is now.
      EXPECT_NE(ack.find(c.archived ? ".alr\r\n" : ".\\qza1k3.in\r\n"), std::string::npos) << ack;
    }
    for (const char* sub : {"ack", "db"}) {  // a failed record leaves no temporary file
      for (const auto& entry : std::filesystem::directory_iterator(dir_ / sub)) {
        EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
      }
    }
    const std::string log = testutil::ReadFile(dir_ / "ack/qza_" + YearMonth() + ".log");
    EXPECT_EQ(log.find("alarm launched") != std::string::npos, c.logged) << log;
    // A second pass over the same file: launched again only when it never started.
    platform::ClearFaults();
    const std::string again = Printed([&] { home_->alarms->ProcessAlarmFile(path.c_str(), 3); });
    if (c.archived) continue;
    if (c.launched) {
      EXPECT_EQ(again, "") << "a launched alarm that stayed is not launched again";
      EXPECT_EQ(LaunchCount(1), 1u);
    } else {
      EXPECT_NE(again.find("renamed to"), std::string::npos) << again;
      EXPECT_EQ(LaunchCount(1), 1u);
    }
  }
}

// An unknown type is deleted once its line is complete. A file that ends
// inside its type line (empty, one line, or LF line ends) may be its writer's
// work in progress while it changed in the last two seconds, and stays; after
// that nobody is at it, and it is an unrecognised alarm, deleted.
TEST_F(HandlerFaultsTest, AlarmEndingInsideItsTypeLineStaysOnlyWhileItsWriterMayBeAtIt) {
  std::string lf_lines;
  for (int n = 0; n < 20; ++n) lf_lines += n == 1 ? "ALARM\n" : "x\n";
  static const struct {
    const char* name;
    std::string content;
    int age;  // seconds since it was last changed
    bool stays;
  } cases[] = {
      {"half a type line, just written", "\r\nALA", 0, true},
      {"half a type line, long ago", "\r\nALA", 30, false},
      {"empty, just written", "", 0, true},
      {"empty, closed long ago", "", 30, false},
      {"LF line ends, long ago", lf_lines, 30, false},
      {"a complete unknown type, just written", "\r\nALAMR\r\n", 0, false},
  };
  const std::string spool_file = home_->dir / "spool/qza1k3.in";
  const std::string path = home_->dir / "spool/.\\qza1k3.in";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::WriteFile(spool_file, c.content);
    ASSERT_TRUE(testutil::SetModificationTime(spool_file, std::time(nullptr) - c.age));
    const std::string output = Printed([&] { home_->alarms->ProcessAlarmFile(path.c_str(), 3); });
    EXPECT_EQ(output.find("' ends inside its type line: left for its writer\r\n") !=
                  std::string::npos,
              c.stays)
        << output;
    EXPECT_EQ(testutil::FileExists(spool_file), c.stays);
    testutil::RemoveFile(spool_file);
  }
  EXPECT_EQ(LaunchCount(0), 0u);
}

TEST_F(HandlerFaultsTest, FaxSteps) {
  static const struct {
    Fault fault;
    std::vector<const char*> lines;
    bool launched, deleted, logged;
  } cases[] = {
      {{FaultPoint::kOpen, 0, ""}, {"launching [QZ_DOFAX.BAT a \"b\" c d]\r\n"}, true, true, true},
      {{FaultPoint::kSpawn, EAGAIN, "QZ_DOFAX"},
       {"FAILED to launch [QZ_DOFAX.BAT a \"b\" c d]: Resource temporarily unavailable\r\n"},
       false, false, false},
      {{FaultPoint::kUnlink, EPERM, "qz1.job"},
       {"launching [", "FAILED to delete '", "': Operation not permitted\r\n",
        "was launched but could not be deleted"},
       true, false, true},
      {{FaultPoint::kWrite, ENOSPC, ".log"},
       {"launching [", "could not be written: No space left on device\n"}, true, true, false},
  };
  int row = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE("row " + std::to_string(row++));
    const std::string spool_file = StartRow(c.fault, "qz1.job", "a\r\nb\r\nc\r\nd\r\n");
    const testutil::TempDir& dir_ = home_->dir;
    const std::string path = dir_ / "spool/.\\qz1.job";
    const std::string output = Printed([&] { home_->faxes->ProcessFaxJob(path.c_str()); });
    ExpectInOrder(output, c.lines);
    EXPECT_EQ(LaunchCount(c.launched ? 1 : 0), c.launched ? 1u : 0u);
    EXPECT_EQ(testutil::FileExists(spool_file), !c.deleted);
    const std::string log = testutil::ReadFile(dir_ / "ack/qzf_" + YearMonth() + ".log");
    EXPECT_EQ(log.find("fax job launched") != std::string::npos, c.logged) << log;
    platform::ClearFaults();
    const std::string again = Printed([&] { home_->faxes->ProcessFaxJob(path.c_str()); });
    if (c.deleted) continue;
    EXPECT_EQ(LaunchCount(1), 1u) << again;  // a stuck job is never faxed twice
  }
}

}  // namespace

}  // namespace qza
