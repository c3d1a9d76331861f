// The launch ledger against every state its file can be found in at start-up,
// and against writes that fail.
#include <gtest/gtest.h>

#include <errno.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "platform/Clock.h"
#include "platform/Fault.h"
#include "platform/FileSystem.h"
#include "platform/Journal.h"
#include "support/LaunchLedger.h"

namespace qza {

namespace {

constexpr int64_t kNow = 1765432100;  // the moment of the start-up, for the aside name

class LaunchLedgerTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearFaults(); }
  std::string Ledger() const { return dir_ / "qza_wdir.journal"; }
  // A record of the alarm file `name` in the test directory, as it is now.
  LedgerRecord RecordOf(const std::string& name, LedgerRecord::State state) {
    testutil::WriteFile(dir_ / name, "alarm " + name);
    LedgerRecord r;
    r.kind = LedgerRecord::Kind::kAlarm;
    r.state = state;
    r.path = dir_ / name;
    r.archive = dir_ / ("2612_1" + name + ".alr");
    EXPECT_TRUE(platform::IdentityOfPath(r.path.c_str(), &r.identity));
    return r;
  }
  // Stores `text` as the ledger's block, as the service would.
  void StoreBlock(const std::string& text) {
    platform::Journal journal;
    ASSERT_TRUE(journal.Open(Ledger().c_str(), false));
    ASSERT_TRUE(journal.Store(text));
  }
  std::string ValidLedger() {
    return LaunchLedger::Format({RecordOf("a", LedgerRecord::State::kLeft)});
  }
  // Opens a ledger at start-up and returns what it printed.
  std::string OpenPrinting(LaunchLedger& ledger) {
    testutil::CaptureStdout();
    ledger.Open(false, kNow);
    return testutil::GetCapturedStdout();
  }
  testutil::TempDir dir_;
};

TEST_F(LaunchLedgerTest, WholeLedgersAreTakenOverAndRecordsOfGoneFilesPruned) {
  const LedgerRecord kept = RecordOf("kept", LedgerRecord::State::kLeft);
  const LedgerRecord gone = RecordOf("gone", LedgerRecord::State::kLaunching);
  LedgerRecord changed = RecordOf("changed", LedgerRecord::State::kLeft);
  StoreBlock(LaunchLedger::Format({kept, gone, changed}));
  ASSERT_TRUE(testutil::RemoveFile(gone.path));
  testutil::WriteFile(changed.path, "another alarm, longer than the one launched");
  LaunchLedger ledger(Ledger());
  EXPECT_EQ(OpenPrinting(ledger), "");
  EXPECT_FALSE(ledger.InDoubt());
  ASSERT_EQ(ledger.records().size(), 1u);
  EXPECT_EQ(ledger.records()[0].path, kept.path);
  EXPECT_TRUE(ledger.ArchiveReserved(kept.archive));
  EXPECT_FALSE(ledger.ArchiveReserved(gone.archive));
  // What the start-up kept is what a second start finds.
  LaunchLedger again(Ledger());
  EXPECT_EQ(OpenPrinting(again), "");
  EXPECT_EQ(again.records().size(), 1u);
}

TEST_F(LaunchLedgerTest, JournalOfAnEarlierVersionIsTakenOver) {
  const LedgerRecord left = RecordOf("left", LedgerRecord::State::kLeft);
  const platform::FileIdentity& id = left.identity;
  StoreBlock(left.archive + "\n" + left.path + "\n" + std::to_string(id.dev) + " " +
             std::to_string(id.ino) + " " + std::to_string(id.size) + " " +
             std::to_string(id.mtime) + " 1\n");
  LaunchLedger ledger(Ledger());
  EXPECT_EQ(OpenPrinting(ledger), "");
  ASSERT_EQ(ledger.records().size(), 1u);
  EXPECT_EQ(ledger.records()[0].state, LedgerRecord::State::kLeft);
  EXPECT_EQ(ledger.records()[0].archive, left.archive);
}

TEST_F(LaunchLedgerTest, MissingLedgerIsMadeEmptyWithoutALine) {
  LaunchLedger ledger(Ledger());
  EXPECT_EQ(OpenPrinting(ledger), "");
  EXPECT_FALSE(ledger.InDoubt());
  EXPECT_TRUE(ledger.records().empty());
  LaunchLedger again(Ledger());  // what it made reads whole
  EXPECT_EQ(OpenPrinting(again), "");
}

// Each damaged state is named with its reason, moved aside, replaced by an
// empty ledger, and puts the start-up in doubt.
TEST_F(LaunchLedgerTest, DamagedLedgersAreNamedMovedAsideAndPutTheStartInDoubt) {
  const std::string aside = Ledger() + ".damaged-" + [] {
    const struct tm t = platform::LocalTime(kNow);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return std::string(text);
  }();
  const struct {
    const char* state;
    std::function<void()> make;
    const char* reason;
  } cases[] = {
      {"empty", [&] { testutil::WriteFile(Ledger(), ""); }, "it is empty"},
      {"random bytes", [&] { testutil::WriteFile(Ledger(), std::string(300, '\x9c')); },
       "its header is not a record's"},
      {"cut in its header",
       [&] {
         StoreBlock(ValidLedger());
         testutil::WriteFile(Ledger(), testutil::ReadFile(Ledger()).substr(0, 10));
       },
       "it is cut short"},
      {"cut in its text",
       [&] {
         StoreBlock(ValidLedger());
         const std::string whole = testutil::ReadFile(Ledger());
         testutil::WriteFile(Ledger(), whole.substr(0, whole.size() - 20));
       },
       "it is cut short"},
      {"a byte changed",
       [&] {
         StoreBlock(ValidLedger());
         std::string whole = testutil::ReadFile(Ledger());
         whole[whole.size() - 3] ^= 1;
         testutil::WriteFile(Ledger(), whole);
       },
       "its check value does not match"},
      {"a length out of range",
       [&] { testutil::WriteFile(Ledger(), "QZJ1 99999 00000000\n" + std::string(40, 'x')); },
       "its length is out of range"},
      {"a record that does not match its check value",
       [&] {
         std::string text = ValidLedger();
         text[text.find('\n') + 1] = text[text.find('\n') + 1] == '0' ? '1' : '0';
         StoreBlock(text);
       },
       "record 1 does not match its check value"},
      {"an unknown version", [&] { StoreBlock("qza_wdir ledger 9\n"); },
       "it is in no known format"},
      {"larger than any ledger",
       [&] { testutil::WriteFile(Ledger(), std::string(70 * 1024, 'x')); },
       "it is larger than any record"},
      {"a directory", [&] { testutil::MakeDirectory(Ledger()); }, "it is not a regular file"},
      {"a link",
       [&] {
         testutil::WriteFile(dir_ / "elsewhere", ValidLedger());
         ASSERT_TRUE(testutil::MakeSymlink(dir_ / "elsewhere", Ledger()));
       },
       "it is not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state);
    if (std::string(c.state) == "a link" && testutil::kWindows) continue;
    c.make();
    LaunchLedger ledger(Ledger());
    const std::string printed = OpenPrinting(ledger);
    EXPECT_EQ(printed, "ERROR: ledger " + Ledger() + " is damaged (" + c.reason +
                           "): moved aside as " + aside +
                           "; spool files it may have covered are launched again, each said to "
                           "be a possible repeat\r\n");
    EXPECT_TRUE(ledger.InDoubt());
    EXPECT_TRUE(ledger.IsOpen());
    EXPECT_TRUE(ledger.records().empty());
    EXPECT_TRUE(testutil::FileExists(aside) || testutil::IsSymlink(aside));
    EXPECT_FALSE(testutil::IsSymlink(Ledger()));
    LaunchLedger again(Ledger());  // the new ledger reads whole
    EXPECT_EQ(OpenPrinting(again), "");
    std::error_code ignored;
    std::filesystem::remove_all(aside, ignored);
    std::filesystem::remove_all(Ledger(), ignored);
  }
  EXPECT_TRUE(testutil::FileExists(dir_ / "elsewhere") || testutil::kWindows);  // not followed
}

TEST_F(LaunchLedgerTest, WriteThatFailsSaysWhyOnceAndSaysWhenItWorksAgain) {
  LaunchLedger ledger(Ledger());
  OpenPrinting(ledger);
  platform::InjectFault(platform::FaultPoint::kWrite, ENOSPC, "journal");
  testutil::CaptureStdout();
  EXPECT_FALSE(ledger.Put(RecordOf("a", LedgerRecord::State::kLaunching)));
  EXPECT_FALSE(ledger.Put(RecordOf("b", LedgerRecord::State::kLaunching)));
  EXPECT_EQ(testutil::GetCapturedStdout(),
            "ERROR: ledger " + Ledger() + " could not be written: No space left on device; crash "
            "protection is off until it can be written again\r\n");
  EXPECT_EQ(ledger.records().size(), 2u);  // kept in memory all the same
  platform::ClearFaults();
  testutil::CaptureStdout();
  ledger.Remove(LedgerRecord::Kind::kAlarm, dir_ / "a");
  EXPECT_EQ(testutil::GetCapturedStdout(),
            "ledger " + Ledger() + " is written again: crash protection is back\r\n");
  LaunchLedger again(Ledger());
  OpenPrinting(again);
  EXPECT_EQ(again.records().size(), 1u);
}

TEST_F(LaunchLedgerTest, LedgerLargerThanItsBlockSaysSo) {
  LaunchLedger ledger(Ledger());
  OpenPrinting(ledger);
  testutil::CaptureStdout();
  bool stored = true;
  for (int n = 0; n < 400 && stored; ++n) {
    LedgerRecord r = RecordOf("f" + std::to_string(n), LedgerRecord::State::kLeft);
    r.archive = std::string(120, 'x') + std::to_string(n);
    stored = ledger.Put(r);
  }
  EXPECT_FALSE(stored);
  EXPECT_NE(testutil::GetCapturedStdout().find("records need more than 65000 bytes; crash "
                                               "protection is off"),
            std::string::npos);
}

TEST(LaunchLedgerFormat, FieldsWithBlanksPercentAndDashesComeBackWhole) {
  LedgerRecord r;
  r.kind = LedgerRecord::Kind::kFax;
  r.state = LedgerRecord::State::kLeft;
  r.identity = {1, 2, 3, 4};
  r.time = 5;
  for (const char* path : {"spool/.\\qz 1.job", "100%", "-", "a\tb"}) {
    r.path = path;
    r.archive = "";
    std::vector<LedgerRecord> back;
    std::string damage;
    ASSERT_TRUE(LaunchLedger::Parse(LaunchLedger::Format({r}), &back, &damage)) << damage;
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].path, path);
    EXPECT_EQ(back[0].archive, "");
    EXPECT_EQ(back[0].kind, LedgerRecord::Kind::kFax);
    EXPECT_EQ(back[0].identity, r.identity);
  }
}

}  // namespace

}  // namespace qza
