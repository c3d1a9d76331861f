#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "platform/Process.h"
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
