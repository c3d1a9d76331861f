// Opening, writing and appending files that a hostile spool writer may have
// prepared: links, FIFOs, directories and second names are refused, never
// followed or blocked on; records are written whole or not at all.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "platform/Fault.h"
#include "platform/File.h"
#include "platform/FileSystem.h"

namespace qza {

namespace {

class FileTest : public ::testing::Test {
 protected:
  FileTest() {
    testutil::WriteFile(Victim(), "secret");
    testutil::WriteFile(dir_ / "regular", "content");
  }
  std::string Victim() const { return dir_ / "victim"; }
  testutil::TempDir dir_;
};

TEST_F(FileTest, OpenRefusesWhatIsNoPlainRegularFile) {
  int writer = -1;
  if (!testutil::kWindows) {  // Windows has no FIFOs, and links need a privilege there
    ASSERT_TRUE(testutil::MakeSymlink(Victim(), dir_ / "link"));
    ASSERT_TRUE(testutil::MakeFifo(dir_ / "fifo"));
#ifndef _WIN32
    // A FIFO with a writer that never writes must not block the open.
    writer = open((dir_ / "fifo").c_str(), O_RDWR | O_NONBLOCK);
#endif
  }
  ASSERT_TRUE(testutil::MakeDirectory(dir_ / "dir"));
  ASSERT_TRUE(testutil::MakeHardLink(Victim(), dir_ / "second"));
  static const struct {
    const char* name;
    int error;
    bool posix_only;
  } cases[] = {{"link", ELOOP, true},    {"fifo", ENODEV, true}, {"dir", EISDIR},
               {"second", EMLINK},       {"missing", ENOENT}};
  for (const auto& c : cases) {
    if (testutil::kWindows && c.posix_only) continue;
    for (unsigned mode : {0x10u, 0x20u, 0x40u, 0x11u}) {
      const platform::Result<int> opened = platform::FileOpen((dir_ / c.name).c_str(), mode);
      EXPECT_FALSE(opened.ok()) << c.name;
      EXPECT_EQ(opened.status().error(), c.error) << c.name << " mode " << mode;
      EXPECT_STREQ(opened.status().operation(), "open") << c.name;
    }
  }
  const platform::Result<int> opened = platform::FileOpen((dir_ / "regular").c_str(), 0x10);
  ASSERT_TRUE(opened.ok()) << opened.status().ToString();
  EXPECT_GE(opened.value(), 0);
  EXPECT_TRUE(platform::FileClose(opened.value()).ok());
  if (writer >= 0) close(writer);
  EXPECT_STREQ(platform::ErrorText(ELOOP), "a symbolic link");
  EXPECT_STREQ(platform::ErrorText(EMLINK), "a file with a second name (a hard link)");
}

TEST_F(FileTest, RecordsReplaceALinkAtTheirNameAndNeverWriteThroughIt) {
  if (testutil::kWindows) GTEST_SKIP() << "symbolic links need a privilege on Windows";
  for (const char* name : {"atomic", "created"}) {
    ASSERT_TRUE(testutil::MakeSymlink(Victim(), dir_ / name));
  }
  EXPECT_TRUE(platform::WriteFileAtomically((dir_ / "atomic").c_str(), "new", 3).ok());
  EXPECT_EQ(testutil::ReadFile(dir_ / "atomic"), "new");
  EXPECT_FALSE(testutil::IsSymlink(dir_ / "atomic"));
  EXPECT_EQ(platform::FileTruncateOrCreate((dir_ / "created").c_str()).error(), ELOOP);
  EXPECT_EQ(platform::AppendToFile((dir_ / "created").c_str(), "x", 1, true).error(), ELOOP);
  EXPECT_EQ(testutil::ReadFile(Victim()), "secret");
}

TEST_F(FileTest, FailedAtomicWriteLeavesTheOldFileAndNoTemporaryFile) {
  testutil::WriteFile(dir_ / "record", "old");
  static const struct {
    platform::FaultPoint point;
    int error;
  } cases[] = {{platform::FaultPoint::kOpen, EACCES},
               {platform::FaultPoint::kWrite, ENOSPC},
               {platform::FaultPoint::kClose, EIO},
               {platform::FaultPoint::kRename, EXDEV}};
  for (const auto& c : cases) {
    platform::InjectFault(c.point, c.error, "record");
    const platform::Status written =
        platform::WriteFileAtomically((dir_ / "record").c_str(), "new", 3);
    platform::ClearFaults();
    EXPECT_FALSE(written.ok()) << static_cast<int>(c.point);
    EXPECT_EQ(written.error(), c.error) << static_cast<int>(c.point);
    EXPECT_EQ(testutil::ReadFile(dir_ / "record"), "old");
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      (void)entry;
      ++files;
    }
    EXPECT_EQ(files, 3) << "victim, regular, record and no temporary file";
  }
  EXPECT_TRUE(platform::WriteFileAtomically((dir_ / "record").c_str(), "new", 3).ok());
  EXPECT_EQ(testutil::ReadFile(dir_ / "record"), "new");
}

// A file made under an unforeseeable name is always new: the names differ,
// and a taken name (the kernel says EEXIST, whatever took it) is given up for
// another, up to the limit of tries; any other refusal ends the attempt.
TEST_F(FileTest, UniqueFileIsNewAndATakenNameIsTriedAgain) {
  std::vector<std::string> paths;
  for (int i = 0; i < 20; ++i) {
    std::string path;
    const platform::Result<int> created =
        platform::CreateUniqueFile(dir_.path().c_str(), ".u.", &path);
    ASSERT_TRUE(created.ok()) << created.status().ToString();
    const platform::Result<int64_t> written = platform::FileWrite(created.value(), "x", 1);
    EXPECT_TRUE(written.ok());
    EXPECT_EQ(written.value(), 1);
    EXPECT_TRUE(platform::FileClose(created.value()).ok());
    EXPECT_EQ(path.rfind(dir_.path() + "/.u.", 0), 0u) << path;
    EXPECT_EQ(path.size(), dir_.path().size() + 4 + 16) << path;
    EXPECT_EQ(testutil::ReadFile(path), "x");
    EXPECT_EQ(std::count(paths.begin(), paths.end(), path), 0);
    paths.push_back(path);
  }
  static const struct {
    int error;
    int count;  // taken or refused names before the call ends
    bool created;
  } cases[] = {
      {EEXIST, platform::kUniqueFileTries - 1, true},
      {EEXIST, platform::kUniqueFileTries, false},
      {EACCES, 1, false},
  };
  for (const auto& c : cases) {
    platform::InjectFault(platform::FaultPoint::kOpen, c.error, ".t.", c.count);
    std::string path;
    const platform::Result<int> created =
        platform::CreateUniqueFile(dir_.path().c_str(), ".t.", &path);
    platform::ClearFaults();
    EXPECT_EQ(created.ok(), c.created) << c.error << " " << c.count;
    if (created.ok()) {
      EXPECT_TRUE(platform::FileClose(created.value()).ok());
      EXPECT_TRUE(testutil::RemoveFile(path));
    } else {
      EXPECT_EQ(created.status().error(), c.error);
      EXPECT_STREQ(created.status().operation(), "create");
    }
  }
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 2 + paths.size()) << "victim, regular, the 20 files and nothing else";
}

// A record rewritten again and again keeps its inode on Linux (Windows
// always replaces it); whatever else stands at the name is replaced, never
// written through.
TEST_F(FileTest, RewriteKeepsAPlainRecordAndReplacesAnythingElse) {
  testutil::WriteFile(dir_ / "record", "an older, longer content");
  ASSERT_TRUE(testutil::MakeHardLink(Victim(), dir_ / "second"));
  if (!testutil::kWindows) {  // Windows has no FIFOs, and links need a privilege there
    ASSERT_TRUE(testutil::MakeSymlink(Victim(), dir_ / "link"));
    ASSERT_TRUE(testutil::MakeFifo(dir_ / "fifo"));
  }
  static const struct {
    const char* name;
    bool same_inode;
    bool posix_only;
  } cases[] = {{"record", !testutil::kWindows}, {"missing", false}, {"second", false},
               {"link", false, true}, {"fifo", false, true}};
  for (const auto& c : cases) {
    if (testutil::kWindows && c.posix_only) continue;
    platform::FileIdentity before;
    platform::IdentityOfPath((dir_ / c.name).c_str(), &before);
    EXPECT_TRUE(platform::RewriteFile((dir_ / c.name).c_str(), "new", 3).ok()) << c.name;
    platform::FileIdentity after;
    ASSERT_TRUE(platform::IdentityOfPath((dir_ / c.name).c_str(), &after)) << c.name;
    EXPECT_FALSE(testutil::IsSymlink(dir_ / c.name)) << c.name;
    EXPECT_EQ(after.SameFile(before), c.same_inode) << c.name;
    EXPECT_EQ(testutil::ReadFile(dir_ / c.name), "new") << c.name;
  }
  EXPECT_EQ(testutil::ReadFile(Victim()), "secret");
  ASSERT_TRUE(testutil::MakeDirectory(dir_ / "dir"));
  EXPECT_FALSE(platform::RewriteFile((dir_ / "dir").c_str(), "new", 3).ok());
}

TEST_F(FileTest, FailedRewriteLeavesAnEmptyRecordNotAMix) {
  testutil::WriteFile(dir_ / "record", "old content");
  static const struct {
    platform::FaultPoint point;
    const char* left;
  } cases[] = {{platform::FaultPoint::kOpen, "old content"},
               // Windows replaces the record, so a failed write leaves the old one.
               {platform::FaultPoint::kWrite, testutil::kWindows ? "old content" : ""}};
  for (const auto& c : cases) {
    platform::InjectFault(c.point, ENOSPC, "record");
    const platform::Status written = platform::RewriteFile((dir_ / "record").c_str(), "new", 3);
    platform::ClearFaults();
    EXPECT_FALSE(written.ok());
    EXPECT_EQ(written.error(), ENOSPC);
    EXPECT_EQ(testutil::ReadFile(dir_ / "record"), c.left);
  }
  EXPECT_TRUE(platform::RewriteFile((dir_ / "record").c_str(), "new", 3).ok());
  EXPECT_EQ(testutil::ReadFile(dir_ / "record"), "new");
}

int EntriesIn(const std::string& directory) {
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    (void)entry;
    ++entries;
  }
  return entries;
}

// A record made ahead has no name until it is published whole, and it never
// takes a name that something holds.
TEST_F(FileTest, PreparedRecordTakesOnlyAFreeName) {
  if (testutil::kWindows) GTEST_SKIP() << "Windows has no unnamed files";
  testutil::WriteFile(dir_ / "taken", "old");
  ASSERT_TRUE(testutil::MakeSymlink(Victim(), dir_ / "link"));
  ASSERT_TRUE(testutil::MakeSymlink(dir_ / "nowhere", dir_ / "dangling"));
  const int before = EntriesIn(dir_.path());
  static const struct {
    const char* name;
    bool published;
    int error;
    const char* content;  // at the name afterwards
  } cases[] = {{"free", true, 0, "new"},
               {"taken", false, EEXIST, "old"},
               {"link", false, EEXIST, "secret"},
               {"dangling", false, EEXIST, "<missing>"}};
  for (const auto& c : cases) {
    const int entries = EntriesIn(dir_.path());
    platform::PreparedFile file;
    ASSERT_TRUE(file.Prepare(dir_.path().c_str()).ok()) << c.name;
    EXPECT_EQ(EntriesIn(dir_.path()), entries) << "a prepared file has no name";
    const platform::Status published = file.Publish((dir_ / c.name).c_str(), "new", 3);
    EXPECT_EQ(published.ok(), c.published) << c.name;
    EXPECT_EQ(published.error(), c.error) << c.name;
    EXPECT_EQ(testutil::ReadFile(dir_ / c.name), c.content) << c.name;
    EXPECT_EQ(file.Publish((dir_ / "again").c_str(), "new", 3).error(), ENOENT) << "used up";
  }
  EXPECT_EQ(testutil::ReadFile(Victim()), "secret");
  EXPECT_EQ(EntriesIn(dir_.path()), before + 1) << "only the published record";
}

TEST_F(FileTest, PreparedRecordThatFailsLeavesNothing) {
  if (testutil::kWindows) GTEST_SKIP() << "Windows has no unnamed files";
  for (auto point : {platform::FaultPoint::kOpen, platform::FaultPoint::kWrite}) {
    platform::PreparedFile file;
    ASSERT_TRUE(file.Prepare(dir_.path().c_str()).ok());
    platform::InjectFault(point, ENOSPC, "record");
    const platform::Status published = file.Publish((dir_ / "record").c_str(), "new", 3);
    platform::ClearFaults();
    EXPECT_FALSE(published.ok());
    EXPECT_EQ(published.error(), ENOSPC);
    EXPECT_FALSE(testutil::FileExists(dir_ / "record"));
  }
}

// A failed file-system call names its operation and the system's reason;
// an injected fault reads as the system's own refusal would.
TEST_F(FileTest, FileSystemFailuresNameTheOperationAndTheReason) {
  const std::string missing = dir_ / "missing";
  const std::string victim = Victim();
  const std::string regular = dir_ / "regular";
  testutil::WriteFile(regular, "text");
  platform::FileStatus status;
  static const struct {
    const char* name;
    platform::Status (*call)(const std::string& missing, const std::string& victim,
                             const std::string& regular, platform::FileStatus* status);
    int error;
    const char* operation;
  } cases[] = {
      {"stat of a missing file",
       [](const std::string& m, const std::string&, const std::string&, platform::FileStatus* st) {
         return platform::StatPath(m.c_str(), st);
       },
       ENOENT, "stat"},
      {"remove of a missing file",
       [](const std::string& m, const std::string&, const std::string&, platform::FileStatus*) {
         return platform::RemoveFile(m.c_str());
       },
       ENOENT, "remove"},
      {"rename onto a taken name",
       [](const std::string&, const std::string& v, const std::string& r, platform::FileStatus*) {
         return platform::RenameFile(r.c_str(), v.c_str());
       },
       EEXIST, "rename"},
      {"copy of a missing file",
       [](const std::string& m, const std::string& v, const std::string&, platform::FileStatus*) {
         return platform::CopyFileReplacing(m.c_str(), v.c_str());
       },
       ENOENT, "open"},
      {"stat of the empty text",
       [](const std::string&, const std::string&, const std::string&, platform::FileStatus* st) {
         return platform::StatPath("", st);
       },
       ENOENT, "stat"},
  };
  for (const auto& c : cases) {
    const platform::Status failed = c.call(missing, victim, regular, &status);
    EXPECT_EQ(failed.error(), c.error) << c.name;
    EXPECT_STREQ(failed.operation(), c.operation) << c.name;
  }
  EXPECT_EQ(testutil::ReadFile(victim), "secret");
  platform::InjectFault(platform::FaultPoint::kUnlink, EACCES, "regular", 1);
  const platform::Status refused = platform::RemoveFile(regular.c_str());
  platform::ClearFaults();
  EXPECT_EQ(refused.error(), EACCES);
  EXPECT_STREQ(refused.operation(), "remove");
  EXPECT_TRUE(testutil::FileExists(regular));
  EXPECT_TRUE(platform::RemoveFile(regular.c_str()).ok());
  EXPECT_FALSE(testutil::FileExists(regular));
}

TEST_F(FileTest, AppendThatDoesNotFitLeavesNoPartOfTheLine) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no file-size limit of a process to cut a write short";
#else
  const std::string log = dir_ / "log";
  ASSERT_TRUE(platform::AppendToFile(log.c_str(), "first line\r\n", 12, true).ok());
  // A file-size limit just beyond the first line: the second write is cut short.
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {20, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const std::string line = "a second line that does not fit\r\n";
  const platform::Status appended =
      platform::AppendToFile(log.c_str(), line.data(), line.size(), true);
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(appended.ok());
  EXPECT_EQ(appended.error(), EFBIG);
  EXPECT_STREQ(appended.operation(), "write");
  EXPECT_EQ(testutil::ReadFile(log), "first line\r\n");
  ASSERT_TRUE(platform::AppendToFile(log.c_str(), "third\r\n", 7, true).ok());
  EXPECT_EQ(testutil::ReadFile(log), "first line\r\nthird\r\n");
#endif
}

}  // namespace

}  // namespace qza
