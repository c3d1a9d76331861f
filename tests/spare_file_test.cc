// The message file made ahead on a background thread: a launch never waits
// for it, and it is published whole or not at all.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "TestUtil.h"
#include "alarm/SpareFile.h"

namespace {

TEST(SpareFile, WithoutAReadyFilePublishFailsAndCreatesNothing) {
  testutil::TempDir dir;
  const std::string name = dir / "M1.msg";
  SpareFile& spare = SpareFile::Instance();
  ASSERT_FALSE(spare.Ready());
  errno = 0;
  EXPECT_FALSE(spare.Publish(name.c_str(), "text", 4));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(testutil::FileExists(name));
}

TEST(SpareFile, RequestedFileIsMadeWithoutWaitingAndUsedUpByOnePublish) {
  if (testutil::kWindows) GTEST_SKIP() << "Windows has no unnamed files";
  testutil::TempDir dir;
  SpareFile& spare = SpareFile::Instance();
  spare.Request(dir.path().c_str());
  spare.Request(dir.path().c_str());  // one on its way: no second one
  ASSERT_TRUE(testutil::WaitFor([&] { return spare.Ready(); }));
  EXPECT_TRUE(spare.Publish((dir / "M1.msg").c_str(), "Fire in hall 3", 14));
  EXPECT_EQ(testutil::ReadFile(dir / "M1.msg"), "Fire in hall 3");
  errno = 0;
  EXPECT_FALSE(spare.Publish((dir / "M2.msg").c_str(), "x", 1));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(testutil::FileExists(dir / "M2.msg"));
}

TEST(SpareFile, MissingDirectoryMakesNothingAndALaterRequestStillWorks) {
  if (testutil::kWindows) GTEST_SKIP() << "Windows has no unnamed files";
  testutil::TempDir dir;
  SpareFile& spare = SpareFile::Instance();
  spare.Request((dir / "missing").c_str());
  spare.Request(dir.path().c_str());  // taken once the failed one is done
  ASSERT_TRUE(testutil::WaitFor([&] {
    spare.Request(dir.path().c_str());
    return spare.Ready();
  }));
  EXPECT_TRUE(spare.Publish((dir / "M1.msg").c_str(), "ok", 2));
  EXPECT_EQ(testutil::ReadFile(dir / "M1.msg"), "ok");
}

}  // namespace
