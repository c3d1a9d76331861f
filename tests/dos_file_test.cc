#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "platform/FileSystem.h"
#include "support/CDosFile.h"

namespace qza {

namespace {

constexpr unsigned long kReadExclusive = CDosFile::kReadExclusive;
constexpr unsigned long kWriteExclusive = CDosFile::kWriteExclusive;
constexpr unsigned long kWriteDenyNone = CDosFile::kWriteDenyNone;
constexpr unsigned long kReadDenyNone = CDosFile::kReadDenyNone;

// The named modes are the numbers that callers have always written.
static_assert(CDosFile::kReadExclusive == 16 && CDosFile::kWriteExclusive == 17 &&
              CDosFile::kReadWriteExclusive == 18 && CDosFile::kReadDenyWrite == 32 &&
              CDosFile::kReadDenyNone == 64 && CDosFile::kWriteDenyNone == 65 &&
              CDosFile::kReadWriteDenyNone == 66);

struct Step {
  std::string text;
  long position;
};

// Reads lines one after another and records text and position after each.
std::vector<Step> ReadLines(const std::string& path, unsigned long size, int count) {
  CDosFile file(path.c_str());
  EXPECT_EQ(file.Open(kReadExclusive), 1);
  std::vector<Step> steps;
  std::vector<char> buffer(size + 1, 'x');
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(file.ReadLine(buffer.data(), size), 1);
    steps.push_back({buffer.data(), file.GetPos()});
  }
  return steps;
}

TEST(CDosFileReadLine, SplitsAtCrLfOnly) {
  testutil::TempDir dir;
  const std::string line253(253, 'a'), line254(254, 'b'), line300(300, 'c');
  static const struct {
    const char* name;
    std::string content;
    unsigned long size;
    std::vector<Step> expected;
  } cases[] = {
      {"two lines", "AB\r\nDE\r\n", 256, {{"AB", 4}, {"DE", 8}, {"", 8}}},
      {"no line end", "AB", 256, {{"AB", 2}, {"", 2}}},
      {"empty file", "", 256, {{"", 0}}},
      {"lone LF and CR", "a\nb\rc\r\nd", 256, {{"a\nb\rc", 7}, {"d", 8}}},
      {"253 characters", line253 + "\r\nz", 256, {{line253, 255}, {"z", 256}}},
      {"254 characters", line254 + "\r\nz\r\n", 256,
       {{line254 + "\r", 255}, {"\nz", 259}, {"", 259}}},
      {"300 characters", line300 + "\r\n", 256,
       {{std::string(255, 'c'), 255}, {std::string(45, 'c'), 302}}},
      {"size 1", "AB\r\n", 1, {{"", 0}, {"", 0}}},
      {"pair split by size", "ABC\r\nD", 5, {{"ABC\r", 4}, {"\nD", 6}}},
  };
  for (const auto& c : cases) {
    const std::string path = dir / "lines";
    testutil::WriteFile(path, c.content);
    std::vector<Step> steps = ReadLines(path, c.size, static_cast<int>(c.expected.size()));
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(steps[i].text, c.expected[i].text) << c.name << ", read " << i;
      EXPECT_EQ(steps[i].position, c.expected[i].position) << c.name << ", read " << i;
    }
  }
}

TEST(CDosFile, ClosedObjectFailsQuietly) {
  CDosFile file(nullptr);
  char buffer[8] = "keep";
  unsigned long count = 99;
  EXPECT_EQ(file.LastError(), 0);
  EXPECT_EQ(file.Open(kReadExclusive), 0);
  EXPECT_EQ(file.LastError(), ENOENT);
  EXPECT_EQ(file.Create(kWriteDenyNone), 0);
  errno = 0;
  EXPECT_EQ(file.Close(), 0);
  EXPECT_EQ(errno, 0) << "closing what is closed (as the destructor does) keeps errno";
  EXPECT_EQ(file.Seek(0), 0);
  EXPECT_EQ(file.LastError(), EBADF);
  EXPECT_EQ(file.SeekEof(), 0);
  EXPECT_EQ(file.GetPos(), -1);
  EXPECT_EQ(file.Read(buffer, 4, &count), 0);
  EXPECT_EQ(count, 99u);
  EXPECT_EQ(file.ReadLine(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "keep");
  EXPECT_EQ(file.Write(buffer, 4, &count), 0);
  platform::FileStatus status;
  EXPECT_EQ(file.GetStatus(&status), 0);
}

TEST(CDosFile, CreateEmptiesAndOpenAppends) {
  testutil::TempDir dir;
  const std::string path = dir / "log";
  testutil::WriteFile(path, "old content");
  {
    CDosFile file(path.c_str());
    EXPECT_EQ(file.Create(kWriteExclusive), 1);
    // Emptied: its end is its start (no second reader: the file is held exclusively).
    EXPECT_EQ(file.SeekEof(), 1);
    EXPECT_EQ(file.GetPos(), 0);
    unsigned long count = 0;
    EXPECT_EQ(file.Write("one\r\n", 5, &count), 1);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(file.Close(), 1);
    EXPECT_EQ(file.Close(), 0);
  }
  CDosFile file(path.c_str());
  EXPECT_EQ(file.Open(kWriteExclusive), 1);
  EXPECT_EQ(file.GetPos(), 0);
  EXPECT_EQ(file.SeekEof(), 1);
  EXPECT_EQ(file.Write("two\r\n", 5), 1);
  file.Close();
  EXPECT_EQ(testutil::ReadFile(path), "one\r\ntwo\r\n");
}

TEST(CDosFile, SeekAndReadMixWithLines) {
  testutil::TempDir dir;
  const std::string path = dir / "f";
  testutil::WriteFile(path, "0123456789");
  CDosFile file(path.c_str());
  ASSERT_EQ(file.Open(0), 1);
  EXPECT_EQ(file.Seek(6), 1);
  char buffer[8] = {};
  unsigned long count = 0;
  EXPECT_EQ(file.Read(buffer, 3, &count), 1);
  EXPECT_EQ(count, 3u);
  EXPECT_STREQ(buffer, "678");
  EXPECT_EQ(file.GetPos(), 9);
  EXPECT_EQ(file.Read(buffer, 8, &count), 1);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(file.Read(buffer, 8, &count), 1);
  EXPECT_EQ(count, 0u);
}

TEST(CDosFile, RefusedSeekLeavesThePositionWhereItWas) {
  testutil::TempDir dir;
  const std::string path = dir / "large";
  testutil::WriteFile(path, "0123456789");
  // A sparse file whose end lies past the signed 32-bit range.
  std::error_code error;
  std::filesystem::resize_file(path, 0x80000010LL, error);
  ASSERT_FALSE(error) << error.message();
  CDosFile file(path.c_str());
  ASSERT_EQ(file.Open(0), 1);
  ASSERT_EQ(file.Seek(4), 1);
  EXPECT_EQ(file.Seek(0x80000000UL), 0);
  EXPECT_EQ(file.GetPos(), 4);
  EXPECT_EQ(file.SeekEof(), 0);
  EXPECT_EQ(file.GetPos(), 4);
  char buffer[4] = {};
  EXPECT_EQ(file.Read(buffer, 3), 1);
  EXPECT_STREQ(buffer, "456");
  EXPECT_EQ(file.Seek(0x7fffffffUL), 1);
  EXPECT_EQ(file.GetPos(), 0x7fffffffL);
}

// A spool writer may give the name to a new file while the old one is read:
// what was read is told apart from what the name holds now.
TEST(CDosFile, StatusIsOfTheOpenFileAfterItsNameIsGivenToAnother) {
  testutil::TempDir dir;
  const std::string job = dir / "qz1.job";
  testutil::WriteFile(job, "first");
  testutil::WriteFile(dir / "next", "second, longer");
  CDosFile file(job.c_str());
  ASSERT_EQ(file.Open(kReadDenyNone), 1);
  platform::FileStatus read;
  ASSERT_EQ(file.GetStatus(&read), 1);
  EXPECT_EQ(read.size, 5);
  std::error_code error;
  std::filesystem::rename(dir / "next", job, error);
  if (error) GTEST_SKIP() << "an open file cannot be replaced here: " << error.message();
  platform::FileStatus after;
  ASSERT_EQ(file.GetStatus(&after), 1);
  platform::FileStatus named;
  ASSERT_TRUE(platform::StatPath(job.c_str(), &named).ok());
  EXPECT_EQ(after.ino, read.ino);
  EXPECT_EQ(after.size, 5);
  EXPECT_NE(named.ino, read.ino);
  EXPECT_EQ(named.size, 14);
  file.Close();
  EXPECT_EQ(file.GetStatus(&after), 0);
}

TEST(CDosFile, OpenOfMissingFileFailsAndStaysClosed) {
  testutil::TempDir dir;
  CDosFile file((dir / "missing").c_str());
  errno = 0;
  EXPECT_EQ(file.Open(kReadExclusive), 0);
  EXPECT_EQ(errno, ENOENT);  // as after a C library call, for the class's users
  EXPECT_EQ(file.LastError(), ENOENT);
  EXPECT_EQ(file.GetPos(), -1);
  EXPECT_EQ(file.LastError(), ENOENT) << "kept until the next failure";
}

class SharingTest : public ::testing::TestWithParam<bool> {};

TEST_P(SharingTest, ExclusiveOpenFailsWhileAnotherProcessHoldsTheFile) {
  const bool holder_writes = GetParam();
  testutil::TempDir dir;
  const std::string path = dir / "qza1k3.in";
  testutil::WriteFile(path, "content\r\n");
  testutil::FileHolder holder(path, holder_writes);
  CDosFile file(path.c_str());
  EXPECT_EQ(file.Open(kReadExclusive), 0);
  EXPECT_EQ(file.Open(kWriteExclusive), 0);
  EXPECT_EQ(file.Open(kReadDenyNone), 1);  // deny none is blocked by nobody
  file.Close();
  holder.Release();
  EXPECT_EQ(file.Open(kReadExclusive), 1);
}

INSTANTIATE_TEST_SUITE_P(ReaderAndWriter, SharingTest, ::testing::Values(false, true));

TEST(CDosFile, TwoOwnObjectsNeverHoldAFileExclusively) {
  testutil::TempDir dir;
  const std::string path = dir / "f";
  testutil::WriteFile(path, "x");
  CDosFile first(path.c_str());
  CDosFile second(path.c_str());
  ASSERT_EQ(first.Open(kReadExclusive), 1);
  EXPECT_EQ(second.Open(kReadExclusive), 0);
  EXPECT_EQ(second.Open(kWriteExclusive), 0);
  first.Close();
  EXPECT_EQ(second.Open(kReadExclusive), 1);
}

TEST(CDosFile, DenyNoneOpenDoesNotBlockOthers) {
  testutil::TempDir dir;
  const std::string path = dir / "f";
  testutil::WriteFile(path, "x");
  CDosFile open_for_all(path.c_str());
  ASSERT_EQ(open_for_all.Open(kWriteDenyNone), 1);
  CDosFile other(path.c_str());
  EXPECT_EQ(other.Open(kWriteDenyNone), 1);
  // An exclusive open still fails while the deny-none object holds the file.
  CDosFile exclusive(path.c_str());
  EXPECT_EQ(exclusive.Open(kReadExclusive), 0);
}

}  // namespace

}  // namespace qza
