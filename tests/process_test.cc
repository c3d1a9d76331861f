#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "platform/Console.h"
#include "platform/Fault.h"
#include "platform/Process.h"
#include "platform/Reaper.h"
#include "support/CProcess.h"

namespace {

TEST(SplitCommandLine, FollowsTheWindowsRules) {
  using Words = std::vector<std::string>;
  static const struct {
    const char* line;
    Words words;
  } cases[] = {
      {"QZARUN.CMD a b  c ", {"QZARUN.CMD", "a", "b", "c"}},
      {"QZ_DOFAX.BAT 1 \"two words\" 3 4", {"QZ_DOFAX.BAT", "1", "two words", "3", "4"}},
      {"p \"\" x", {"p", "", "x"}},
      {"p a\\\\b", {"p", "a\\\\b"}},                      // backslashes alone are literal
      {"p a\\\"b", {"p", "a\"b"}},                        // 2n+1 backslashes: literal quote
      {"p a\\\\\"b c\"", {"p", "a\\b c"}},                // 2n backslashes: n, quote toggles
      {"p \"a\"b\"c d\"", {"p", "abc d"}},
      {"\"C:\\Program Files\\x.exe\" y", {"C:\\Program Files\\x.exe", "y"}},
      {"c:\\svox\\.\\svox.exe -v judith8", {"c:\\svox\\.\\svox.exe", "-v", "judith8"}},
      {"pro\\\"g arg", {"pro\\\"g", "arg"}},              // no escapes in the program name
      {"p\ta\tb", {"p", "a", "b"}},
      {"p a;touch x $(touch y)", {"p", "a;touch", "x", "$(touch", "y)"}},
      {"   ", {}},
      {"", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::SplitCommandLine(c.line), c.words) << c.line;
  }
}

class ProcessTest : public ::testing::Test {
 protected:
  // A program that writes its arguments, one per line, into `args`.
  std::string Recorder() {
    const std::string path = dir_ / "record.sh";
    testutil::MakeExecutable(path, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " +
                                       (dir_ / "args") + "\npwd > " + (dir_ / "cwd") + "\n");
    return path;
  }
  // Runs the command line and waits for it to end; returns its exit code.
  unsigned long RunToEnd(const std::string& command_line, const char* directory = nullptr) {
    CProcess process(command_line.c_str());
    EXPECT_EQ(process.Run(0, 1, directory), 1) << command_line;
    EXPECT_TRUE(testutil::WaitFor([&] { return process.IsRunning() == 0; }));
    return process.ExitCode();
  }
  testutil::TempDir dir_;
};

TEST_F(ProcessTest, RunReportsZeroWhenNothingCanStart) {
  CProcess none(nullptr);
  EXPECT_EQ(none.Run(0, 1), 0);
  CProcess missing((dir_ / "missing.exe").c_str());
  EXPECT_EQ(missing.Run(0, 1), 0);
  missing.Detach();
  testutil::WriteFile(dir_ / "plain", "#!/bin/sh\n");  // not executable
  CProcess plain((dir_ / "plain").c_str());
  EXPECT_EQ(plain.Run(0, 1), 0);
  CProcess unknown("QZA_NO_SUCH_PROGRAM_ANYWHERE.CMD x");
  EXPECT_EQ(unknown.Run(0, 1), 0);
  EXPECT_EQ(unknown.IsRunning(), 0);
}

TEST_F(ProcessTest, FailedStartTellsWhy) {
  testutil::WriteFile(dir_ / "plain", "#!/bin/sh\n");  // not executable
  testutil::MakeExecutable(dir_ / "runs", "#!/bin/sh\n");
  ASSERT_EQ(mkdir((dir_ / "directory").c_str(), 0755), 0);
  const std::string old_path = getenv("PATH");
  setenv("PATH", dir_.path().c_str(), 1);
  static const struct {
    const char* command_line;
    int error;
  } cases[] = {
      {"missing.exe", ENOENT},  // searched for along PATH
      {"plain", EACCES},        // found along PATH, but not executable
      {"directory", EACCES},
      {"", ENOENT},
  };
  for (const auto& c : cases) {
    CProcess process(c.command_line);
    EXPECT_EQ(process.Run(0, 1), 0) << c.command_line;
    EXPECT_EQ(process.LastError(), c.error) << c.command_line;
  }
  setenv("PATH", old_path.c_str(), 1);
  const struct {
    std::string path;
    int error;
  } by_path[] = {{dir_ / "missing.exe", ENOENT}, {dir_ / "plain", EACCES}};
  for (const auto& c : by_path) {
    int error = 0;
    EXPECT_EQ(platform::SpawnCommandLine(c.path.c_str(), platform::SpawnOptions(), &error), 0);
    EXPECT_EQ(error, c.error) << c.path;
  }
  CProcess runs((dir_ / "runs").c_str());
  EXPECT_EQ(runs.LastError(), 0);
  CProcess missing((dir_ / "missing.exe").c_str());
  EXPECT_EQ(missing.Run(0, 1), 0);
  EXPECT_EQ(missing.LastError(), ENOENT);
  ASSERT_EQ(runs.Run(0, 1), 1);
  EXPECT_EQ(runs.LastError(), 0);
  EXPECT_EQ(runs.Run(0, 1), 0) << "a child is held already";
  EXPECT_EQ(runs.LastError(), EBUSY);
}

TEST_F(ProcessTest, SpawnFaultFailsTheStartWithItsError) {
  const std::string marker = dir_ / "started";
  const std::string command_line = "/bin/sh -c \"touch " + marker + "\"";
  platform::InjectFault(platform::FaultPoint::kSpawn, EAGAIN, "touch", 1);
  CProcess refused(command_line.c_str());
  EXPECT_EQ(refused.Run(0, 1), 0);
  EXPECT_EQ(refused.LastError(), EAGAIN);
  EXPECT_EQ(RunToEnd(command_line), 0u) << "the counted fault is used up";
  EXPECT_TRUE(testutil::FileExists(marker));
  platform::ClearFaults();
}

// Puts standard error on `fd` for the life of the object.
class StderrOn {
 public:
  explicit StderrOn(int fd) : saved_(dup(STDERR_FILENO)) { dup2(fd, STDERR_FILENO); }
  ~StderrOn() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

TEST_F(ProcessTest, ChildOutputGoesToStandardErrorOrNowhereButNeverKillsIt) {
  platform::IgnoreServiceSignals();  // this test writes into a dead pipe itself
  const std::string command_line = "/bin/sh -c \"echo out; echo err >&2; exit 5\"";
  {
    const int file = open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    StderrOn on_file(file);
    close(file);
    EXPECT_EQ(RunToEnd(command_line), 5u);
  }
  EXPECT_EQ(testutil::ReadFile(dir_ / "stderr"), "out\nerr\n");
  int dead[2];
  ASSERT_EQ(pipe2(dead, O_CLOEXEC), 0);
  close(dead[0]);  // nobody will ever read
  unsigned long exit_code;
  {
    StderrOn on_dead_pipe(dead[1]);
    exit_code = RunToEnd(command_line);
  }
  close(dead[1]);
  EXPECT_EQ(exit_code, 5u) << "128 + 13 is SIGPIPE";
}

TEST_F(ProcessTest, NoShellEverSeesTheCommandLine) {
  const std::string recorder = Recorder();
  EXPECT_EQ(RunToEnd(recorder + " a;touch x $(touch y) `touch z` \"q r\"", dir_.path().c_str()),
            0u);
  EXPECT_EQ(testutil::ReadFile(dir_ / "args"), "a;touch\nx\n$(touch\ny)\n`touch\nz`\nq r\n");
  EXPECT_FALSE(testutil::FileExists(dir_ / "x"));
  EXPECT_FALSE(testutil::FileExists(dir_ / "y)"));
  EXPECT_FALSE(testutil::FileExists(dir_ / "z`"));
}

TEST_F(ProcessTest, ScriptWithoutInterpreterLineRunsThroughSh) {
  testutil::MakeExecutable(dir_ / "QZARUN.CMD", "echo \"$1\" > " + (dir_ / "out") + "\n");
  EXPECT_EQ(RunToEnd(dir_ / "QZARUN.CMD" + " hello"), 0u);
  EXPECT_EQ(testutil::ReadFile(dir_ / "out"), "hello\n");
}

TEST_F(ProcessTest, BareNameIsFoundInWorkingDirectoryThenPath) {
  testutil::TempDir bin;
  testutil::MakeExecutable(bin / "QZA_FROM_PATH.CMD", "#!/bin/sh\ntouch " + (dir_ / "path") + "\n");
  testutil::MakeExecutable(dir_ / "QZA_FROM_CWD.CMD", "#!/bin/sh\ntouch " + (dir_ / "cwd") + "\n");
  const std::string old_path = getenv("PATH");
  setenv("PATH", (bin.path() + ":" + old_path).c_str(), 1);
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_EQ(RunToEnd("QZA_FROM_PATH.CMD"), 0u);
  EXPECT_EQ(RunToEnd("QZA_FROM_CWD.CMD"), 0u);
  ASSERT_EQ(chdir(old_cwd), 0);
  setenv("PATH", old_path.c_str(), 1);
  EXPECT_TRUE(testutil::FileExists(dir_ / "path"));
  EXPECT_TRUE(testutil::FileExists(dir_ / "cwd"));
}

TEST_F(ProcessTest, ChildStartsInTheGivenWorkingDirectory) {
  const std::string recorder = Recorder();
  testutil::TempDir other;
  CProcess process(recorder.c_str());
  ASSERT_EQ(process.Run(1, 1, (other.path() + "\\").c_str()), 1);
  EXPECT_TRUE(testutil::WaitFor([&] { return process.IsRunning() == 0; }));
  EXPECT_EQ(testutil::ReadFile(dir_ / "cwd"), other.path() + "\n");
}

TEST_F(ProcessTest, ExitCodeIsStillActiveWhileRunningThenTheStatus) {
  CProcess process("/bin/sh -c \"sleep 0.3; exit 3\"");
  EXPECT_EQ(process.ExitCode(), 0u);
  ASSERT_EQ(process.Run(0, 1), 1);
  EXPECT_EQ(process.IsRunning(), 1);
  EXPECT_EQ(process.ExitCode(), CProcess::kStillActive);
  EXPECT_TRUE(testutil::WaitFor([&] { return process.IsRunning() == 0; }));
  EXPECT_EQ(process.ExitCode(), 3u);
  EXPECT_EQ(process.IsRunning(), 0);
  EXPECT_EQ(process.ExitCode(), 3u);
  process.Kill();
  EXPECT_EQ(process.ExitCode(), 3u);
  EXPECT_EQ(process.ProcessHandle(), 0);
}

TEST_F(ProcessTest, DestroyingTheObjectEndsItsRunningChild) {
  long pid = 0;
  {
    CProcess process("/bin/sleep 30");
    ASSERT_EQ(process.Run(0, 1), 1);
    pid = process.ProcessHandle();
    EXPECT_TRUE(testutil::ProcessAlive(static_cast<int>(pid)));
  }
  EXPECT_FALSE(testutil::ProcessAlive(static_cast<int>(pid)));
}

TEST_F(ProcessTest, KillEndsTheChildAndStoresZero) {
  CProcess process("/bin/sleep 30");
  ASSERT_EQ(process.Run(0, 1), 1);
  const long pid = process.ProcessHandle();
  process.Kill();
  EXPECT_EQ(process.ExitCode(), 0u);
  EXPECT_EQ(process.IsRunning(), 0);
  EXPECT_FALSE(testutil::ProcessAlive(static_cast<int>(pid)));
}

TEST_F(ProcessTest, DetachedChildSurvivesKillOfItsParent) {
  const std::string helper = std::string(QZA_BINARY_DIR) + "/tests/detach_helper";
  FILE* out = popen((helper + " /bin/sleep 30").c_str(), "r");
  ASSERT_NE(out, nullptr);
  long child = 0;
  ASSERT_EQ(fscanf(out, "%ld", &child), 1);
  // The helper is the only process in popen's shell that still runs: end it hard.
  std::string pgrep = "pgrep -f '^" + helper + "'";
  FILE* find = popen(pgrep.c_str(), "r");
  int helper_pid = 0;
  ASSERT_EQ(fscanf(find, "%d", &helper_pid), 1);
  pclose(find);
  kill(helper_pid, SIGKILL);
  pclose(out);
  EXPECT_FALSE(testutil::ProcessAlive(helper_pid));
  EXPECT_TRUE(testutil::ProcessAlive(static_cast<int>(child)));
  kill(static_cast<pid_t>(child), SIGKILL);
}

// Children of this process that have ended but were not reaped.
int ZombieChildren() {
  int zombies = 0;
  DIR* proc = opendir("/proc");
  while (struct dirent* entry = readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    size_t close = line.rfind(')');
    char state = 0;
    int ppid = 0;
    if (close == std::string::npos ||
        sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) != 2) {
      continue;
    }
    if (ppid == getpid() && state == 'Z') ++zombies;
  }
  closedir(proc);
  return zombies;
}

int OpenDescriptors() {
  int count = 0;
  DIR* fds = opendir("/proc/self/fd");
  while (readdir(fds) != nullptr) ++count;
  closedir(fds);
  return count;
}

TEST_F(ProcessTest, ThousandsOfRunningDetachedChildrenHoldNoDescriptors) {
  CProcess first("/bin/true");  // the reaper's own set-up happens here
  ASSERT_EQ(first.Run(0, 1), 1);
  first.Detach();
  const int before = OpenDescriptors();
  std::vector<pid_t> children;
  for (int i = 0; i < 2000; ++i) {
    CProcess process("/bin/sleep 60");
    ASSERT_EQ(process.Run(0, 1), 1) << i << ": " << strerror(process.LastError());
    children.push_back(static_cast<pid_t>(process.ProcessHandle()));
    process.Detach();
  }
  EXPECT_EQ(OpenDescriptors(), before);
  for (pid_t child : children) kill(child, SIGKILL);
  EXPECT_TRUE(testutil::WaitFor(
      [] { return ZombieChildren() == 0 && platform::Reaper::Instance().Pending() == 0; },
      std::chrono::seconds(60)))
      << ZombieChildren() << " zombies";
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(ProcessTest, ReaperNeverTakesTheExitStatusOfAnOwnedChild) {
  CProcess owned("/bin/sh -c \"exit 7\"");
  ASSERT_EQ(owned.Run(0, 1), 1);
  // While the owned child's end waits to be collected, detached children end
  // and wake the reaper again and again.
  for (int i = 0; i < 100; ++i) {
    CProcess process("/bin/true");
    ASSERT_EQ(process.Run(0, 1), 1);
    process.Detach();
  }
  EXPECT_TRUE(testutil::WaitFor([] { return ZombieChildren() <= 1; }));
  EXPECT_TRUE(testutil::WaitFor([&] { return owned.IsRunning() == 0; }));
  EXPECT_EQ(owned.ExitCode(), 7u);
  EXPECT_TRUE(testutil::WaitFor([] { return platform::Reaper::Instance().Pending() == 0; }));
}

TEST_F(ProcessTest, DetachedChildrenLeaveNoZombies) {
  for (int i = 0; i < 200; ++i) {
    CProcess process("/bin/true");
    ASSERT_EQ(process.Run(0, 1), 1);
    process.Detach();
    EXPECT_EQ(process.ExitCode(), 0u);
  }
  EXPECT_TRUE(testutil::WaitFor([] { return ZombieChildren() == 0; }))
      << ZombieChildren() << " zombies";
}

}  // namespace
