#include <gtest/gtest.h>

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "HelperProcess.h"
#include "TestUtil.h"
#include "platform/Instance.h"

namespace {

using testutil::HelperProcess;

// The first line of a claim: "<InstanceClaim> <errno>".
std::string Claimed() { return std::to_string(static_cast<int>(platform::InstanceClaim::kClaimed)) + " 0"; }
std::string Held() {
  return std::to_string(static_cast<int>(platform::InstanceClaim::kHeldByAnother)) + " 0";
}
std::string Failed(int error) {
  return std::to_string(static_cast<int>(platform::InstanceClaim::kFailed)) + " " +
         std::to_string(error);
}

TEST(InstanceGuard, SecondClaimIsRefusedUntilTheHolderIsKilled) {
  testutil::TempDir dir;
  // The holder starts a long-running child: it must not inherit the guard.
  HelperProcess holder({"claim", dir.path(), "/bin/sleep 30"});
  ASSERT_EQ(holder.ReadLine(), Claimed());
  const pid_t child = static_cast<pid_t>(std::stol(holder.ReadLine()));
  {
    HelperProcess second({"claim", dir.path()});
    EXPECT_EQ(second.ReadLine(), Held());
  }
  {
    testutil::TempDir other;  // another installation is not blocked
    HelperProcess elsewhere({"claim", other.path()});
    EXPECT_EQ(elsewhere.ReadLine(), Claimed());
  }
  holder.Kill(SIGKILL);
  holder.Wait();
  HelperProcess third({"claim", dir.path()});
  EXPECT_EQ(third.ReadLine(), Claimed());
  struct stat st;
  ASSERT_EQ(lstat((dir / platform::kInstanceLockFile).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(testutil::ProcessAlive(child)) << "the child ran on while the guard was claimed";
  kill(child, SIGKILL);
}

TEST(InstanceGuard, LockFileThatOnlyAnotherUserCouldHoldIsRefused) {
  static const struct {
    const char* name;
    std::function<void(const std::string& lock, const std::string& dir)> setup;
    std::string first_line;
  } cases[] = {
      {"symbolic link to a file",
       [](const std::string& lock, const std::string& dir) {
         testutil::WriteFile(dir + "/target", "");
         symlink((dir + "/target").c_str(), lock.c_str());
       },
       Failed(ELOOP)},
      {"dangling symbolic link",
       [](const std::string& lock, const std::string& dir) {
         symlink((dir + "/absent").c_str(), lock.c_str());
       },
       Failed(ELOOP)},
      {"owned by another user",
       [](const std::string& lock, const std::string&) {
         testutil::WriteFile(lock, "");
         chown(lock.c_str(), 65534, 65534);
       },
       Failed(EPERM)},
      {"a FIFO", [](const std::string& lock, const std::string&) { mkfifo(lock.c_str(), 0600); },
       Failed(EINVAL)},
      {"a directory", [](const std::string& lock, const std::string&) { mkdir(lock.c_str(), 0700); },
       Failed(EISDIR)},
      {"readable by others: narrowed and claimed",
       [](const std::string& lock, const std::string&) {
         testutil::WriteFile(lock, "");
         chmod(lock.c_str(), 0666);
       },
       Claimed()},
  };
  for (const auto& c : cases) {
    testutil::TempDir dir;
    const std::string lock = dir / platform::kInstanceLockFile;
    c.setup(lock, dir.path());
    HelperProcess claim({"claim", dir.path()});
    EXPECT_EQ(claim.ReadLine(), c.first_line) << c.name;
    struct stat st;
    if (lstat(lock.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0) {
      EXPECT_EQ(st.st_mode & 077, 0u) << c.name;
    }
    EXPECT_FALSE(testutil::FileExists(dir / "absent")) << c.name;
  }
}

TEST(InstanceGuard, AnotherUserCannotTakeTheGuardFirst) {
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
