// Crashes and restarts: an alarm is never lost, only the alarm whose program
// was being started when the service died may start again, and then under the
// archive name it was given first; no other alarm ever gets that name.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>
#include <map>
#include <set>

#include "AlarmContent.h"
#include "alarm/AlarmDispatch.h"
#include "support/LaunchLedger.h"
#include "platform/FileSystem.h"
#include "platform/Journal.h"
#include "system/ServiceFixture.h"

namespace qza {

namespace systemtest {
namespace {

#ifdef _WIN32
constexpr int kStopSignals[] = {SIGTERM, SIGINT};
#else
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
#endif

// Files that cannot be archived or deleted need chattr +i: Linux only.
// Makes a file immutable (it can be neither renamed nor deleted) for the
// object's lifetime; `frozen` is false where that cannot be done.
struct Frozen {
  explicit Frozen(const std::string& file) : path(file) {
    frozen = !testutil::kWindows && system(("chattr +i " + path + " 2>/dev/null").c_str()) == 0;
  }
  ~Frozen() {
    if (frozen && system(("chattr -i " + path).c_str()) != 0) ADD_FAILURE();
  }
  std::string path;
  bool frozen;
};

class CrashSystemTest : public ServiceTest {
 protected:
  CrashSystemTest() {
    AddFakeProgram("QZARUN.CMD");
    WriteIni({{"WatchFiles", "spool/qza%ik*.in"}});
  }
  std::string Archive(int sequence) const {
    char name[32];
    snprintf(name, sizeof name, "%s_1%02d.alr", YearMonth().c_str(), sequence);
    return name;
  }
  // Leaves the journal as a service that died while launching `file` would.
  void JournalInterruptedLaunch(const std::string& file, int sequence) {
    platform::FileIdentity id;
    ASSERT_TRUE(platform::IdentityOfPath(Path("spool/" + file).c_str(), &id));
    platform::Journal journal;
    ASSERT_TRUE(journal.Open(Path(LaunchLedger::kFileName).c_str(), false));
    ASSERT_TRUE(journal.Store("spool/.\\" + Archive(sequence) + "\nspool/.\\" + file + "\n" +
                              std::to_string(id.dev) + " " + std::to_string(id.ino) + " " +
                              std::to_string(id.size) + " " + std::to_string(id.mtime) + "\n"));
  }
  static std::string AlarmWithId(const std::string& id) {
    testutil::AlarmFields fields;
    fields.message_id = id;
    return testutil::AlarmContent(fields);
  }
};

TEST_F(CrashSystemTest, InterruptedLaunchKeepsItsArchiveNameAndNoOtherAlarmGetsIt) {
  Drop("spool/qza1k4.in", AlarmWithId("M4"));
  Drop("spool/qza1k3.in", AlarmWithId("M3"));
  JournalInterruptedLaunch("qza1k3.in", 5);
  Service& service = Start();
  ASSERT_TRUE(WaitForCalls(2));
  EXPECT_TRUE(service.WaitForOutput("'spool/.\\qza1k3.in' was being launched when the service "
                                    "stopped: launched again as 'spool/.\\" +
                                    Archive(5) + "'\r\n"));
  const std::vector<std::string> recorded = Calls();
  const std::set<std::string> calls(recorded.begin(), recorded.end());
  EXPECT_EQ(calls, (std::set<std::string>{
                       "QZARUN.CMD [Brand] [M3] [0] [Console_7] [spool/.\\" + Archive(5) + "]",
                       "QZARUN.CMD [Brand] [M4] [0] [Console_7] [spool/.\\" + Archive(1) + "]"}));
  // The name stays the interrupted alarm's: the next alarm gets the next free one.
  Drop("spool/qza1k6.in", AlarmWithId("M6"));
  ASSERT_TRUE(WaitForCalls(3));
  EXPECT_EQ(Calls()[2], "QZARUN.CMD [Brand] [M6] [0] [Console_7] [spool/.\\" + Archive(2) + "]");
}

TEST_F(CrashSystemTest, JournalOfAnotherFileOfTheSameNameIsIgnored) {
  Drop("spool/qza1k3.in", AlarmWithId("old"));
  JournalInterruptedLaunch("qza1k3.in", 5);
  ASSERT_TRUE(testutil::RemoveFile(Path("spool/qza1k3.in")));
  Drop("spool/qza1k3.in", AlarmWithId("Mnew"));
  Service& service = Start();
  ASSERT_TRUE(WaitForCalls(1));
  EXPECT_EQ(service.Output().find("was being launched"), std::string::npos);
  EXPECT_EQ(Calls()[0], "QZARUN.CMD [Brand] [Mnew] [0] [Console_7] [spool/.\\" +
                            Archive(1) + "]");
}

TEST_F(CrashSystemTest, KillsDuringABurstLoseNothingAndRepeatOnlyUnderTheSameName) {
  constexpr int kAlarms = 60;
  for (int round = 0; round < 3; ++round) {
    Service& service = Start();
    ASSERT_TRUE(service.WaitForOutput("Ready\n"));
    for (int i = round * kAlarms; i < (round + 1) * kAlarms; ++i) {
      Drop("spool/qza1k" + std::to_string(i % 10) + "_" + std::to_string(i) + ".in",
           AlarmWithId(std::string("M").append(std::to_string(i))));
      if (i == round * kAlarms + kAlarms / 2 + round * 7) service.Kill();
    }
    service.Kill();
  }
  Service& last = Start();
  ASSERT_TRUE(last.WaitForOutput("Ready\n"));
  ASSERT_TRUE(testutil::WaitFor(
      [&] {
        for (int i = 0; i < 3 * kAlarms; ++i) {
          if (testutil::FileExists(Path("spool/qza1k" + std::to_string(i % 10) + "_" +
                                        std::to_string(i) + ".in"))) {
            return false;
          }
        }
        return true;
      },
      120s));  // Wine starts a batch program in a tenth of a second or more
  std::map<std::string, std::set<std::string>> archives_of;  // message id -> archive names
  std::map<std::string, std::set<std::string>> ids_of;       // archive name -> message ids
  auto read_calls = [&] {
    archives_of.clear();
    ids_of.clear();
    for (const std::string& call : Calls()) {
      const size_t id_start = call.find("] [") + 3;
      const std::string id = call.substr(id_start, call.find(']', id_start) - id_start);
      const std::string archive = call.substr(call.rfind('[') + 1);
      archives_of[id].insert(archive);
      ids_of[archive].insert(id);
    }
    return archives_of.size() >= static_cast<size_t>(3 * kAlarms);
  };
  // The detached fake programs of the last alarms may still be starting.
  testutil::WaitFor(read_calls, 30s);
  std::this_thread::sleep_for(300ms);  // and a repeated launch would come now
  read_calls();
  EXPECT_EQ(archives_of.size(), static_cast<size_t>(3 * kAlarms));  // none lost
  for (const auto& [id, archives] : archives_of) EXPECT_EQ(archives.size(), 1u) << id;
  for (const auto& [archive, ids] : ids_of) EXPECT_EQ(ids.size(), 1u) << archive;
}

TEST_F(CrashSystemTest, StopSignalFinishesTheAlarmInHandAndNothingRepeatsAfterARestart) {
  if (testutil::kWindows) GTEST_SKIP() << "stop signals are POSIX";
  constexpr int kAlarms = 40;
  for (int signal : kStopSignals) {
    SCOPED_TRACE(signal);
    Service& service = Start();
    ASSERT_TRUE(service.WaitForOutput("Ready\n"));
    for (int i = 0; i < kAlarms; ++i) {
      Drop("spool/qza1k" + std::to_string(i % 10) + "_" + std::to_string(signal) + "_" +
               std::to_string(i) + ".in",
           AlarmWithId(std::string("S").append(std::to_string(signal)).append("_").append(
               std::to_string(i))));
      if (i == kAlarms / 2) service.Signal(signal);
    }
    EXPECT_EQ(service.WaitForExit(), 0);
    ASSERT_TRUE(service.WaitForOutput("Stopped\n"));  // the reader may still be behind
    EXPECT_EQ(service.Output().substr(service.Output().size() - 8), "Stopped\n");
  }
  Service& last = Start();
  ASSERT_TRUE(last.WaitForOutput("Ready\n"));
  ASSERT_TRUE(WaitForCalls(3 * kAlarms, 20s));
  std::this_thread::sleep_for(300ms);
  const std::vector<std::string> calls = Calls();
  EXPECT_EQ(calls.size(), static_cast<size_t>(3 * kAlarms));  // each exactly once
  EXPECT_EQ(std::set<std::string>(calls.begin(), calls.end()).size(), calls.size());
  EXPECT_EQ(last.Output().find("was being launched"), std::string::npos);
}

TEST_F(CrashSystemTest, AlarmThatCannotBeArchivedIsLaunchedOnceAcrossRestartsAndKeepsItsName) {
  Drop("spool/qza1k3.in", AlarmWithId("Mstuck"));
  const std::string stuck = Path("spool/qza1k3.in");
  const Frozen frozen(stuck);
  if (!frozen.frozen) GTEST_SKIP() << "no immutable files here";
  {
    Service& service = Start();
    ASSERT_TRUE(service.WaitForOutput("it is left for the operator and not launched again\r\n"));
    Drop("spool/qza1k4.in", AlarmWithId("Mnext"));
    ASSERT_TRUE(WaitForCalls(2));
    service.Signal(SIGTERM);  // a clean stop: no launch is left half done
    ASSERT_EQ(service.WaitForExit(), 0);
  }
  Service& restarted = Start();
  ASSERT_TRUE(restarted.WaitForOutput("Ready\n"));
  Drop("spool/qza1k5.in", AlarmWithId("Mthird"));
  ASSERT_TRUE(WaitForCalls(3));
  std::this_thread::sleep_for(300ms);
  const std::vector<std::string> calls = Calls();
  ASSERT_EQ(calls.size(), 3u);  // the stuck alarm was not launched again
  EXPECT_EQ(calls[0], "QZARUN.CMD [Brand] [Mstuck] [0] [Console_7] [spool/.\\" + Archive(1) + "]");
  // Its archive name stays its own, in this run and the next.
  EXPECT_EQ(calls[1], "QZARUN.CMD [Brand] [Mnext] [0] [Console_7] [spool/.\\" + Archive(2) + "]");
  EXPECT_EQ(calls[2], "QZARUN.CMD [Brand] [Mthird] [0] [Console_7] [spool/.\\" + Archive(3) + "]");
  EXPECT_EQ(restarted.Output().find("proceeding alarm in 'spool/.\\qza1k3.in'"),
            std::string::npos);
}

TEST_F(CrashSystemTest, FaxJobThatCannotBeDeletedIsFaxedOnceAcrossRestarts) {
  AddFakeProgram("QZ_DOFAX.BAT");
  Drop("spool/qz1.job", "a\r\nb\r\nc\r\nd\r\n");
  const std::string job = Path("spool/qz1.job");
  const Frozen frozen(job);
  if (!frozen.frozen) GTEST_SKIP() << "no immutable files here";
  for (int run = 0; run < 2; ++run) {
    Service& service = Start();
    ASSERT_TRUE(service.WaitForOutput("Ready\n"));
    Drop("spool/qz2.job", "e\r\nf\r\ng\r\n" + std::to_string(run) + "\r\n");
    ASSERT_TRUE(WaitForCalls(run == 0 ? 2 : 3));
    service.Signal(SIGTERM);
    ASSERT_EQ(service.WaitForExit(), 0);
  }
  std::this_thread::sleep_for(300ms);
  const std::vector<std::string> calls = Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "QZ_DOFAX.BAT [a] [b] [c] [d]"), 1);
  EXPECT_EQ(calls.size(), 3u);
}

// A fax job whose launch a crash interrupted (the ledger says it was being
// launched, the job is still there as it was) is faxed again, and the account
// and the month's fax log say that it may be a repeat.
TEST_F(CrashSystemTest, FaxJobInterruptedByACrashIsFaxedAgainAndSaidToBeARepeat) {
  AddFakeProgram("QZ_DOFAX.BAT");
  Drop("spool/qz1.job", "a\r\nb\r\nc\r\nd\r\n");
  {
    LaunchLedger ledger(Path(LaunchLedger::kFileName));
    ledger.Open(false, 0);
    LedgerRecord r;
    r.kind = LedgerRecord::Kind::kFax;
    r.state = LedgerRecord::State::kLaunching;
    r.path = "spool/.\\qz1.job";
    ASSERT_TRUE(platform::IdentityOfPath(Path("spool/qz1.job").c_str(), &r.identity));
    ASSERT_TRUE(ledger.Put(r));
  }
  Service& service = Start();
  ASSERT_TRUE(WaitForCalls(1));
  EXPECT_TRUE(service.WaitForOutput("'spool/.\\qz1.job' may have been faxed before (the service "
                                    "stopped while launching it): launched again\r\n"));
  ASSERT_TRUE(testutil::WaitFor([&] { return !testutil::FileExists(Path("spool/qz1.job")); }));
  const std::string log = testutil::ReadFile(Path("ack/qzf_" + YearMonth() + ".log"));
  EXPECT_NE(log.find(":Server 1, fax job launched again, it may be a repeat (the service stopped "
                     "while launching it) (file=spool/.\\qz1.job)\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(":Server 1, fax job launched [shell=QZ_DOFAX.BAT a \"b\" c d]\r\n"),
            std::string::npos)
      << log;
}

// A ledger damaged while the service was down (here: random bytes) is named
// and moved aside; the alarm it kept as left for the operator is launched
// again, said to be a possible repeat, and the next alarms are not.
TEST_F(CrashSystemTest, DamagedLedgerIsMovedAsideAndWhatItCoveredIsLaunchedAsAPossibleRepeat) {
  Drop("spool/qza1k3.in", AlarmWithId("Mstuck"));
  const Frozen frozen(Path("spool/qza1k3.in"));
  if (!frozen.frozen) GTEST_SKIP() << "no immutable files here";
  {
    Service& service = Start();
    ASSERT_TRUE(service.WaitForOutput("it is left for the operator and not launched again\r\n"));
    service.Signal(SIGTERM);
    ASSERT_EQ(service.WaitForExit(), 0);
  }
  testutil::WriteFile(Path(LaunchLedger::kFileName), std::string(5000, '\x5a'));
  Service& restarted = Start();
  ASSERT_TRUE(WaitForCalls(2));
  ASSERT_TRUE(restarted.WaitForOutput("Ready\n"));
  // The account's lines may follow the launch they tell of.
  ASSERT_TRUE(restarted.WaitForOutput("Acknowledge", 1));
  const std::string out = restarted.Output();
  EXPECT_NE(out.find("ERROR: ledger qza_wdir.journal is damaged (its header is not a record's): "
                     "moved aside as qza_wdir.journal.damaged-"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("'spool/.\\qza1k3.in' may have been launched before (the ledger was "
                     "damaged): launched again as 'spool/.\\"),
            std::string::npos)
      << out;
  bool aside = false;
  for (const auto& entry : std::filesystem::directory_iterator(Path("."))) {
    aside |= entry.path().filename().string().rfind("qza_wdir.journal.damaged-", 0) == 0 &&
             testutil::ReadFile(entry.path().string()) == std::string(5000, '\x5a');
  }
  EXPECT_TRUE(aside);
  const std::string log = testutil::ReadFile(Path("ack/qza_" + YearMonth() + ".log"));
  EXPECT_NE(log.find("alarm launched again, it may be a repeat (the ledger was damaged) "
                     "(file=spool/.\\qza1k3.in)"),
            std::string::npos)
      << log;
  // Past the first pass nothing is in doubt.
  Drop("spool/qza1k4.in", AlarmWithId("Mnext"));
  ASSERT_TRUE(WaitForCalls(3));
  ASSERT_TRUE(restarted.WaitForOutput("Acknowledge", 2));
  EXPECT_EQ(restarted.Output().find("may have been launched before", out.size()),
            std::string::npos);
}

// A writer that swaps a file and a link at one alarm name, as fast as it
// can, while the service handles it: the ledger stays small and writable,
// and no archive is a link.
TEST_F(CrashSystemTest, SwapRaceLeavesTheLedgerBoundedAndNoArchiveALink) {
  if (testutil::kWindows) GTEST_SKIP() << "links need privileges on Windows";
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Ready\n"));
  testutil::WriteFile(Path("secret"), "not an alarm");
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int n = 0; !done; ++n) {
      const std::string stage = Path("stage" + std::to_string(n % 2));
      if (n % 2 == 0) {
        testutil::WriteFile(stage, AlarmWithId("M" + std::to_string(n)));
      } else {
        std::error_code ignored;
        std::filesystem::remove(stage, ignored);
        testutil::MakeSymlink(Path("secret"), stage);
      }
      std::filesystem::rename(stage, Path("spool/qza1k1.in"));
    }
  });
  std::this_thread::sleep_for(3s);
  done = true;
  writer.join();
  ASSERT_TRUE(testutil::RemoveFile(Path("spool/qza1k1.in")));
  Drop("spool/qza1k2.in", AlarmWithId("Mlast"));  // a pass after the race, which prunes
  ASSERT_TRUE(service.WaitForOutput("[QZARUN.CMD Brand Mlast", 1, 30s));
  // The ledger's text, read as the next start would.
  auto ledger_text = [&] {
    platform::Journal journal;
    EXPECT_TRUE(journal.Open(Path(LaunchLedger::kFileName).c_str(), false));
    return journal.Load();
  };
  ASSERT_TRUE(testutil::WaitFor([&] { return ledger_text() == "qza_wdir ledger 1\n"; }))
      << ledger_text();
  EXPECT_EQ(service.Output().find("could not be written"), std::string::npos);
  for (const auto& entry : std::filesystem::directory_iterator(Path("spool"))) {
    EXPECT_FALSE(entry.is_symlink()) << entry.path();
  }
}

TEST_F(CrashSystemTest, StalledReaderOfTheAccountHoldsUpNoAlarm) {
  // Far more account than a pipe holds (the Windows fixture's pipe holds 4 KiB;
  // each launch there costs a cmd and a recorder, so fewer make the point).
  const int kAlarms = testutil::kWindows ? 100 : 300;
  Service& service = Start(/*read_output=*/false);
  for (int i = 0; i < kAlarms; ++i) {
    Drop("spool/qza1k" + std::to_string(i % 10) + "_" + std::to_string(i) + ".in",
         AlarmWithId(std::string("M").append(std::to_string(i))));
  }
  EXPECT_TRUE(WaitForCalls(kAlarms, 60s));
  service.ResumeReading();
  Drop("spool/qza1k9_last.in", AlarmWithId("Mlast"));
  EXPECT_TRUE(service.WaitForOutput("launching [QZARUN.CMD Brand Mlast "));
  EXPECT_TRUE(WaitForCalls(kAlarms + 1));
}

}  // namespace
}  // namespace systemtest

namespace systemtest {
namespace {

// qza_wdir --pending lists what the ledger holds as launched and still in the
// spool, says when nothing is, and when the ledger cannot be read, without
// changing anything.
class PendingSystemTest : public ServiceTest {
 protected:
  struct Run {
    int status;
    std::string output;
  };
  Run Pending() {
    StartOptions options;
    options.arguments = {"--pending", testutil::AbsolutePath(dir_.path())};
    Service service(elsewhere_.path(), Path("bin"), true, options);
    Run run;
    run.status = service.WaitForExit(30s);
    run.output = service.Output();
    // A Windows console program's text output ends its lines in CR LF.
    run.output.erase(std::remove(run.output.begin(), run.output.end(), '\r'), run.output.end());
    return run;
  }
  testutil::TempDir elsewhere_;
};

TEST_F(PendingSystemTest, ListsWhatWasLaunchedAndLeftAndNothingOnceItIsGone) {
  EXPECT_EQ(Pending().output,
            "Nothing is pending: every launched alarm and fax job was archived or deleted.\n");
  EXPECT_FALSE(testutil::FileExists(Path(LaunchLedger::kFileName)));  // nothing written
  testutil::WriteFile(Path("spool/qza1k3.in"), "launched alarm");
  {
    LaunchLedger ledger(Path(LaunchLedger::kFileName));
    ledger.Open(false, 0);
    LedgerRecord r;
    r.state = LedgerRecord::State::kLeft;
    r.path = "spool/.\\qza1k3.in";
    r.archive = "spool/.\\2612_107.alr";
    r.time = 1765430000;
    ASSERT_TRUE(platform::IdentityOfPath(Path("spool/qza1k3.in").c_str(), &r.identity));
    ASSERT_TRUE(ledger.Put(r));
  }
  const std::string before = testutil::ReadFile(Path(LaunchLedger::kFileName));
  const Run pending = Pending();
  EXPECT_EQ(pending.status, 1);
  EXPECT_NE(pending.output.find("  alarm    spool/.\\qza1k3.in  archive name spool/.\\2612_107.alr\n"
                                "    launched, could not be archived: left for the operator"),
            std::string::npos)
      << pending.output;
  EXPECT_NE(pending.output.find("1 file pending."), std::string::npos);
  EXPECT_EQ(testutil::ReadFile(Path(LaunchLedger::kFileName)), before);
  ASSERT_TRUE(testutil::RemoveFile(Path("spool/qza1k3.in")));  // the operator cleared it
  EXPECT_EQ(Pending().status, 0);
  testutil::WriteFile(Path(LaunchLedger::kFileName), "junk that is no ledger");
  const Run damaged = Pending();
  EXPECT_EQ(damaged.status, 2);
  EXPECT_NE(damaged.output.find("The ledger qza_wdir.journal cannot be read: it is cut short."),
            std::string::npos)
      << damaged.output;
}

}  // namespace
}  // namespace systemtest

}  // namespace qza
