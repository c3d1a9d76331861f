#include <gtest/gtest.h>

#include <string>

#include "TestUtil.h"
#include "support/CFileStat.h"

namespace qza {

namespace {

using testutil::SetModificationTime;

TEST(CFileStat, ObjectWithoutPathFindsNothing) {
  CFileStat status(nullptr);
  EXPECT_STREQ(status.Filename(), "");
  EXPECT_EQ(status.Exists(), 0);
}

TEST(CFileStat, ExistsForFilesAndDirectories) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "f", "abc");
  EXPECT_EQ(CFileStat((dir / "f").c_str()).Exists(), 1);
  EXPECT_EQ(CFileStat((dir.path() + "\\.\\f").c_str()).Exists(), 1);
  EXPECT_EQ(CFileStat(dir.path().c_str()).Exists(), 1);
  EXPECT_EQ(CFileStat((dir / "missing").c_str()).Exists(), 0);
  EXPECT_EQ(CFileStat((dir / "f").c_str()).FileSize(), 3);
  EXPECT_EQ(CFileStat((dir / "missing").c_str()).FileSize(), -1);
}

TEST(CFileStat, HasChangedWithUpdateOnReportsEachChangeOnce) {
  testutil::TempDir dir;
  const std::string path = dir / "f";
  testutil::WriteFile(path, "a");
  CFileStat status(path.c_str());
  EXPECT_EQ(status.HasChanged(), 0);
  testutil::WriteFile(path, "ab");
  EXPECT_EQ(status.HasChanged(), 1);
  EXPECT_EQ(status.HasChanged(), 0);
  ASSERT_TRUE(testutil::RemoveFile(path));
  EXPECT_EQ(status.HasChanged(), 1);
  EXPECT_EQ(status.HasChanged(), 0);
}

TEST(CFileStat, HasChangedWithUpdateOffKeepsReporting) {
  testutil::TempDir dir;
  const std::string path = dir / "f";
  testutil::WriteFile(path, "a");
  SetModificationTime(path, 1000000);
  CFileStat status(path.c_str());
  status.SetUpdate(0);
  testutil::WriteFile(path, "ab");
  EXPECT_EQ(status.HasChanged(), 1);
  EXPECT_EQ(status.HasChanged(), 1);
  testutil::WriteFile(path, "a");  // back to the snapshot's state
  SetModificationTime(path, 1000000);
  EXPECT_EQ(status.HasChanged(), 0);
}

TEST(CFileStat, HasChangedAgainstAGivenTime) {
  testutil::TempDir dir;
  const std::string path = dir / "f";
  testutil::WriteFile(path, "a");
  SetModificationTime(path, 1234567);
  CFileStat status(path.c_str());
  EXPECT_EQ(status.HasChanged(1234567L), 0);
  EXPECT_EQ(status.HasChanged(1234568L), 1);
}

TEST(CFileStat, ResetClearsTheSnapshot) {
  testutil::TempDir dir;
  const std::string path = dir / "f";
  testutil::WriteFile(path, "a");
  CFileStat status(path.c_str());
  status.Reset();
  EXPECT_EQ(status.Snapshot().size, 0);
  EXPECT_EQ(status.HasChanged(), 1);
}

TEST(CFileStat, PathOf127CharactersIsHeldWholeALongerOneIsRefused) {
  testutil::TempDir dir;
  std::string path = dir.path() + "/";
  path += std::string(127 - path.size(), 'n');
  ASSERT_EQ(path.size(), 127u);
  testutil::WriteFile(path, "x");
  CFileStat fits(path.c_str());
  EXPECT_EQ(std::string(fits.Filename()), path);
  EXPECT_EQ(fits.Exists(), 1);
  // One character more would be cut to the existing file: it must find nothing.
  const std::string longer = path + "m";
  CFileStat refused(longer.c_str());
  EXPECT_STREQ(refused.Filename(), "");
  EXPECT_EQ(refused.Exists(), 0);
}

TEST(CFileStat, CopiesAreWhole) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "f", "abc");
  CFileStat original((dir / "f").c_str());
  CFileStat copy(original);
  EXPECT_STREQ(copy.Filename(), original.Filename());
  EXPECT_EQ(copy.Snapshot().size, 3);
}

}  // namespace

}  // namespace qza
