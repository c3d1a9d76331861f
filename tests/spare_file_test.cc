// The message file made ahead after an alarm: used up by one publish,
// published whole or not at all, and never in the way when it cannot be made.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "TestUtil.h"
#include "alarm/SpareFile.h"

namespace qza {

namespace {

TEST(SpareFile, WithoutAReadyFilePublishFailsAndCreatesNothing) {
  testutil::TempDir dir;
  const std::string name = dir / "M1.msg";
  SpareFile spare;
  ASSERT_FALSE(spare.Ready());
  EXPECT_EQ(spare.Publish(name.c_str(), "text", 4).error(), ENOENT);
  EXPECT_FALSE(testutil::FileExists(name));
}

TEST(SpareFile, FileMadeAheadIsUsedUpByOnePublish) {
  if (testutil::kWindows) GTEST_SKIP() << "Windows has no unnamed files";
  testutil::TempDir dir;
  SpareFile spare;
  spare.MakeAhead(dir.path().c_str());
  spare.MakeAhead(dir.path().c_str());  // one is ready: no second one
  ASSERT_TRUE(spare.Ready());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // unnamed until published
  EXPECT_TRUE(spare.Publish((dir / "M1.msg").c_str(), "Fire in hall 3", 14).ok());
  EXPECT_EQ(testutil::ReadFile(dir / "M1.msg"), "Fire in hall 3");
  EXPECT_EQ(spare.Publish((dir / "M2.msg").c_str(), "x", 1).error(), ENOENT);
  EXPECT_FALSE(testutil::FileExists(dir / "M2.msg"));
}

TEST(SpareFile, MissingDirectoryMakesNothingAndALaterCallStillWorks) {
  if (testutil::kWindows) GTEST_SKIP() << "Windows has no unnamed files";
  testutil::TempDir dir;
  SpareFile spare;
  spare.MakeAhead((dir / "missing").c_str());
  EXPECT_FALSE(spare.Ready());
  spare.MakeAhead(dir.path().c_str());
  ASSERT_TRUE(spare.Ready());
  EXPECT_TRUE(spare.Publish((dir / "M1.msg").c_str(), "ok", 2).ok());
  EXPECT_EQ(testutil::ReadFile(dir / "M1.msg"), "ok");
}

TEST(SpareFile, PublishUnderATakenNameFailsAndLeavesTheOldFile) {
  if (testutil::kWindows) GTEST_SKIP() << "Windows has no unnamed files";
  testutil::TempDir dir;
  testutil::WriteFile(dir / "M1.msg", "old");
  SpareFile spare;
  spare.MakeAhead(dir.path().c_str());
  ASSERT_TRUE(spare.Ready());
  EXPECT_EQ(spare.Publish((dir / "M1.msg").c_str(), "new", 3).error(), EEXIST);
  EXPECT_EQ(testutil::ReadFile(dir / "M1.msg"), "old");
  EXPECT_FALSE(spare.Ready());
}

}  // namespace

}  // namespace qza
