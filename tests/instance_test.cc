#include <gtest/gtest.h>

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "HelperProcess.h"
#include "TestUtil.h"
#include "platform/Instance.h"

namespace qza {

namespace {

using testutil::HelperProcess;

// The first line of a claim: "claimed 0", "held 0" or "failed <errno> claim".
std::string Claimed() { return "claimed 0"; }
std::string Held() { return "held 0"; }
std::string Failed(int error) {
  std::string line = "failed ";
  return line.append(std::to_string(error)).append(" claim");
}

TEST(InstanceGuard, SecondClaimIsRefusedUntilTheHolderIsKilled) {
  testutil::TempDir dir;
  std::string sleeper = "/bin/sleep 30";
  if (testutil::kWindows) {
    sleeper = dir / "sleeper.exe";
    ASSERT_TRUE(testutil::MakeProgram(sleeper, "", "sleep 30000\n"));
  }
  // The holder starts a long-running child: it must not inherit the guard.
  HelperProcess holder({"claim", dir.path(), sleeper});
  ASSERT_EQ(holder.ReadLine(), Claimed());
  const int child = std::stoi(holder.ReadLine());
  {
    HelperProcess second({"claim", dir.path()});
    EXPECT_EQ(second.ReadLine(), Held());
  }
  {
    testutil::TempDir other;  // another installation is not blocked
    HelperProcess elsewhere({"claim", other.path()});
    EXPECT_EQ(elsewhere.ReadLine(), Claimed());
  }
  holder.End();
  holder.Wait();
  HelperProcess third({"claim", dir.path()});
  EXPECT_EQ(third.ReadLine(), Claimed());
  if (!testutil::kWindows) {  // Windows keeps no permission bits
    EXPECT_EQ(testutil::FileMode(dir / platform::kInstanceLockFile), 0600);
  }
  EXPECT_TRUE(testutil::ProcessAlive(child)) << "the child ran on while the guard was claimed";
  testutil::KillProcess(child);
}

TEST(InstanceGuard, LockFileThatOnlyAnotherUserCouldHoldIsRefused) {
  // Windows has no FIFOs and no owners of this kind, and links need a
  // privilege there: those rows are for POSIX systems.
  static const struct {
    const char* name;
    std::function<void(const std::string& lock, const std::string& dir)> setup;
    std::string first_line;
    bool posix_only = true;
    bool needs_root = false;  // gives a file away to another user
  } cases[] = {
      {"symbolic link to a file",
       [](const std::string& lock, const std::string& dir) {
         testutil::WriteFile(dir + "/target", "");
         testutil::MakeSymlink(dir + "/target", lock);
       },
       Failed(ELOOP)},
      {"dangling symbolic link",
       [](const std::string& lock, const std::string& dir) {
         testutil::MakeSymlink(dir + "/absent", lock);
       },
       Failed(ELOOP)},
      {"owned by another user",
       [](const std::string& lock, const std::string&) {
         testutil::WriteFile(lock, "");
#ifndef _WIN32
         EXPECT_EQ(chown(lock.c_str(), 65534, 65534), 0);
#endif
       },
       Failed(EPERM), true, true},
      {"a FIFO", [](const std::string& lock, const std::string&) { testutil::MakeFifo(lock); },
       Failed(EINVAL)},
      {"a directory",
       [](const std::string& lock, const std::string&) { testutil::MakeDirectory(lock); },
       Failed(EISDIR), false},
      {"readable by others: narrowed and claimed",
       [](const std::string& lock, const std::string&) {
         testutil::WriteFile(lock, "");
         chmod(lock.c_str(), 0666);
       },
       Claimed(), false},
  };
  for (const auto& c : cases) {
    if (testutil::kWindows && c.posix_only) continue;
    if (c.needs_root && !testutil::RunningAsRoot()) continue;
    testutil::TempDir dir;
    const std::string lock = dir / platform::kInstanceLockFile;
    c.setup(lock, dir.path());
    HelperProcess claim({"claim", dir.path()});
    EXPECT_EQ(claim.ReadLine(), c.first_line) << c.name;
#ifndef _WIN32
    struct stat st;
    if (lstat(lock.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0) {
      EXPECT_EQ(st.st_mode & 077, 0u) << c.name;
    }
#endif
    EXPECT_FALSE(testutil::FileExists(dir / "absent")) << c.name;
  }
}

TEST(InstanceGuard, AnotherUserCannotTakeTheGuardFirst) {
  if (testutil::kWindows) GTEST_SKIP() << "the test runs a second user through setpriv (Linux)";
  if (!testutil::RunningAsRoot()) GTEST_SKIP() << "only root can run a process as another user";
  testutil::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);  // others may enter, not write
  {
    HelperProcess intruder({"claim", dir.path()}, /*as_nobody=*/true);
    EXPECT_EQ(intruder.ReadLine(), Failed(EACCES)) << "no lock file yet";
  }
  {
    HelperProcess service({"claim", dir.path()});
    ASSERT_EQ(service.ReadLine(), Claimed());
  }
  HelperProcess intruder({"claim", dir.path()}, /*as_nobody=*/true);
  EXPECT_EQ(intruder.ReadLine(), Failed(EACCES)) << "lock file of the service's user";
  HelperProcess service({"claim", dir.path()});
  EXPECT_EQ(service.ReadLine(), Claimed());
}

}  // namespace

}  // namespace qza
