// The crash record: what a store leaves for the next process, with and
// without syncing each write to the disk.
#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "TestUtil.h"
#include "platform/Fault.h"
#include "platform/Journal.h"

namespace qza {

namespace {

class JournalTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearFaults(); }
  std::string Path() const { return dir_ / "qza_wdir.journal"; }

  testutil::TempDir dir_;
};

TEST_F(JournalTest, StoredTextAndClearReachTheNextOpenInEitherMode) {
  for (const bool sync : {false, true}) {
    SCOPED_TRACE(sync ? "synced" : "page cache");
    {
      platform::Journal journal;
      ASSERT_TRUE(journal.Open(Path().c_str(), sync));
      ASSERT_TRUE(journal.Store("spool/.\\2405_101.alr\nspool/.\\qza1k3.in\n"));
      ASSERT_TRUE(journal.Store("short"));  // overwrites in place, longer text before
    }
    platform::Journal reopened;
    ASSERT_TRUE(reopened.Open(Path().c_str(), sync));
    EXPECT_EQ(reopened.Load(), "short");
    ASSERT_TRUE(reopened.Clear());
    platform::Journal cleared;
    ASSERT_TRUE(cleared.Open(Path().c_str(), sync));
    EXPECT_EQ(cleared.Load(), "");
  }
}

// A sync that the storage refuses (EIO from a network file system) fails the
// write with its reason: the caller must not believe the record is safe. A
// journal that does not sync never asks for one.
TEST_F(JournalTest, FailedSyncFailsTheWriteOnlyWhenTheJournalSyncs) {
  static const struct {
    bool sync;
    bool written;
  } cases[] = {
      {false, true},
      {true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sync ? "synced" : "page cache");
    platform::Journal journal;
    ASSERT_TRUE(journal.Open(Path().c_str(), c.sync));
    platform::InjectFault(platform::FaultPoint::kSync, EIO);
    const platform::Status stored = journal.Store("text");
    const platform::Status cleared = journal.Clear();
    EXPECT_EQ(stored.ok(), c.written);
    EXPECT_EQ(cleared.ok(), c.written);
    if (!c.written) {
      EXPECT_EQ(stored.error(), EIO);
      EXPECT_STREQ(stored.operation(), "sync");
      EXPECT_EQ(cleared.error(), EIO);
    }
    platform::ClearFaults();
    EXPECT_TRUE(journal.Store("after").ok());
    EXPECT_EQ(journal.Load(), "after");
  }
}

}  // namespace

}  // namespace qza
