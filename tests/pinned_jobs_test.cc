// Launched fax jobs kept open after another program took their name away:
// found again under a new name, let go once they have no name left.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "TestUtil.h"
#include "fax/PinnedJobs.h"

namespace qza {

namespace {

class PinnedJobsTest : public ::testing::Test {
 protected:
  // Opens `name` in the test directory as the service holds a launched job.
  void KeepOpen(const std::string& name) {
    auto file = std::make_unique<CDosFile>((dir_ / name).c_str());
    ASSERT_EQ(file->Open(CDosFile::kReadDenyNone), 1) << name;
    pinned_.Keep(std::move(file), name);
  }
  testutil::TempDir dir_;
  PinnedJobs pinned_;
};

TEST_F(PinnedJobsTest, JobMovedToAnotherNameIsFoundThereOnce) {
  testutil::WriteFile(dir_ / "qz1.job", "a\r\nb\r\nc\r\nd\r\n");
  testutil::WriteFile(dir_ / "qz3.job", "other\r\n");
  KeepOpen("qz1.job");
  ASSERT_EQ(std::rename((dir_ / "qz1.job").c_str(), (dir_ / "qz2.job").c_str()), 0);
  std::string name;
  EXPECT_FALSE(pinned_.Take((dir_ / "qz3.job").c_str(), &name));
  EXPECT_FALSE(pinned_.Take((dir_ / "missing.job").c_str(), &name));
  EXPECT_TRUE(pinned_.Take((dir_ / "qz2.job").c_str(), &name));
  EXPECT_EQ(name, "qz1.job");
  EXPECT_FALSE(pinned_.Take((dir_ / "qz2.job").c_str(), &name));  // let go
}

// A deleted job is let go, so a new job that the file system gives its inode
// number is never taken for it.
TEST_F(PinnedJobsTest, DeletedJobIsLetGoBeforeItsInodeCanBeReused) {
  if (testutil::kWindows) GTEST_SKIP() << "a deleted file that is still open keeps its name here";
  testutil::WriteFile(dir_ / "qz1.job", "a\r\nb\r\nc\r\nd\r\n");
  KeepOpen("qz1.job");
  ASSERT_TRUE(testutil::RemoveFile(dir_ / "qz1.job"));
  pinned_.Prune();
  EXPECT_EQ(pinned_.Size(), 0u);
  testutil::WriteFile(dir_ / "qz2.job", "a\r\nb\r\nc\r\nd\r\n");
  std::string name;
  EXPECT_FALSE(pinned_.Take((dir_ / "qz2.job").c_str(), &name));
}

TEST_F(PinnedJobsTest, OldestIsLetGoBeyondTheLimit) {
  for (size_t i = 0; i <= PinnedJobs::kMaxPinned; ++i) {
    std::string name = "qz";
    name += std::to_string(i);
    name += ".job";
    testutil::WriteFile(dir_ / name, name);
    KeepOpen(name);
  }
  EXPECT_EQ(pinned_.Size(), PinnedJobs::kMaxPinned);
  std::string name;
  EXPECT_FALSE(pinned_.Take((dir_ / "qz0.job").c_str(), &name));
  EXPECT_TRUE(pinned_.Take((dir_ / "qz1.job").c_str(), &name));
}

}  // namespace

}  // namespace qza
