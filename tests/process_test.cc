#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <sys/wait.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "HelperProcess.h"
#include "TestUtil.h"
#include "platform/Console.h"
#include "platform/Fault.h"
#include "platform/Process.h"
#ifndef _WIN32
#include "platform/posix/Reaper.h"
#endif
#include "support/CProcess.h"

namespace qza {

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
  // A program that writes its arguments, one per line, into `args`, and its
  // working directory into `cwd`.
  std::string Recorder() {
    const std::string path = dir_ / (testutil::kWindows ? "record.exe" : "record.sh");
    EXPECT_TRUE(testutil::MakeProgram(
        path,
        "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + (dir_ / "args") +
            "\npwd > " + (dir_ / "cwd") + "\n",
        "args " + (dir_ / "args") + "\ncwd " + (dir_ / "cwd") + "\n"));
    return path;
  }
  // The command line of a program that carries out `steps` (see
  // helpers/scripted_program.cc) on Windows, and of the shell command
  // `shell_command` on Linux.
  std::string Command(const std::string& name, const std::string& shell_command,
                      const std::string& steps) {
    if (!testutil::kWindows) return shell_command;
    const std::string path = dir_ / (name + ".exe");
    EXPECT_TRUE(testutil::MakeProgram(path, "", steps));
    return path;
  }
  // A program that runs for `seconds` seconds.
  std::string Sleeper(int seconds) {
    return Command("sleeper", "/bin/sleep " + std::to_string(seconds),
                   "sleep " + std::to_string(seconds * 1000) + "\n");
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
  // Not executable: on Windows a file that is no program.
  testutil::WriteFile(dir_ / "plain", "#!/bin/sh\n");
  ASSERT_TRUE(testutil::MakeProgram(dir_ / ("runs" + std::string(testutil::kExecutableSuffix)),
                                    "#!/bin/sh\n", ""));
  ASSERT_TRUE(testutil::MakeDirectory(dir_ / "directory"));
  const std::string old_path = testutil::GetEnvironment("PATH");
  testutil::SetEnvironment("PATH", dir_.path());
  // Windows finds "plain" and cannot run it: no executable format.
  const int not_executable = testutil::kWindows ? ENOEXEC : EACCES;
  const struct {
    const char* command_line;
    int error;
  } cases[] = {
      {"missing.exe", ENOENT},         // searched for along PATH
      {"plain", not_executable},       // found along PATH, but not executable
      {"directory", EACCES},
      {"", ENOENT},
  };
  for (const auto& c : cases) {
    CProcess process(c.command_line);
    EXPECT_EQ(process.Run(0, 1), 0) << c.command_line;
    EXPECT_EQ(process.LastError(), c.error) << c.command_line;
  }
  testutil::SetEnvironment("PATH", old_path);
  const struct {
    std::string path;
    int error;
  } by_path[] = {{dir_ / "missing.exe", ENOENT}, {dir_ / "plain", not_executable}};
  for (const auto& c : by_path) {
    const platform::Result<platform::Child> child =
        platform::SpawnCommandLine(c.path.c_str(), platform::SpawnOptions());
    EXPECT_FALSE(child.value().held()) << c.path;
    EXPECT_EQ(child.status().error(), c.error) << c.path;
    EXPECT_STREQ(child.status().operation(), "start") << c.path;
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
  const std::string command_line =
      Command("touch", "/bin/sh -c \"touch " + marker + "\"", "touch " + marker + "\n");
  platform::InjectFault(platform::FaultPoint::kSpawn, EAGAIN, "touch", 1);
  CProcess refused(command_line.c_str());
  EXPECT_EQ(refused.Run(0, 1), 0);
  EXPECT_EQ(refused.LastError(), EAGAIN);
  EXPECT_EQ(RunToEnd(command_line), 0u) << "the counted fault is used up";
  EXPECT_TRUE(testutil::FileExists(marker));
  platform::ClearFaults();
}

// A start that the system keeps waiting is given up at the limit; its child,
// when it comes after all, is ended before it has run. While a few such
// starts are out, more are refused at once; later starts go on as before.
TEST_F(ProcessTest, StartKeptWaitingIsGivenUpAndNeverRunsLate) {
  if (!testutil::kWindows) GTEST_SKIP() << "POSIX starts are not run on a thread of their own";
  std::vector<std::string> markers, command_lines;
  for (int i = 0; i < 5; ++i) {
    markers.push_back(dir_ / ("late" + std::to_string(i)));
    command_lines.push_back(Command("touch" + std::to_string(i), "", "touch " + markers[i] + "\n"));
  }
  platform::SetStartLimitForTests(50, 3000);
  for (int i = 0; i < 4; ++i) {
    const platform::Result<platform::Child> child =
        platform::SpawnCommandLine(command_lines[i].c_str(), platform::SpawnOptions());
    EXPECT_FALSE(child.value().held()) << i;
    EXPECT_EQ(child.status().error(), ETIMEDOUT) << i;
  }
  EXPECT_EQ(platform::StalledStarts(), 4);
  const platform::Result<platform::Child> refused =
      platform::SpawnCommandLine(command_lines[4].c_str(), platform::SpawnOptions());
  EXPECT_FALSE(refused.value().held());
  EXPECT_EQ(refused.status().error(), EAGAIN) << "the system has not answered the starts before";
  platform::SetStartLimitForTests(0, 0);
  ASSERT_TRUE(testutil::WaitFor([] { return platform::StalledStarts() == 0; }));
  // A start that comes back within the limit runs, once.
  const std::string marker = dir_ / "started";
  platform::SetStartLimitForTests(0, 200);
  EXPECT_EQ(RunToEnd(Command("touch", "", "touch " + marker + "\n")), 0u);
  platform::SetStartLimitForTests(0, 0);
  EXPECT_TRUE(testutil::FileExists(marker));
  for (const std::string& late : markers) EXPECT_FALSE(testutil::FileExists(late)) << late;
}

// An argument vector reaches the program word for word: no word is split or
// joined, whatever blanks, quotes or backslashes it holds.
TEST_F(ProcessTest, ArgumentVectorReachesTheProgramWordForWord) {
  const std::vector<std::string> words = {
      Recorder(), "a b", "", "\"q r\" s", "trailing\\", "\\\"x", "tab\there", "a;touch x"};
  platform::Result<platform::Child> started =
      platform::SpawnArguments(words, platform::SpawnOptions());
  ASSERT_TRUE(started.ok()) << started.status().ToString();
  platform::Child& child = started.value();
  ASSERT_TRUE(child.held());
  EXPECT_GT(child.id(), 0);
  unsigned status = 1;
  EXPECT_TRUE(testutil::WaitFor([&] {
    const platform::Result<bool> ended = platform::ChildEnded(child, &status);
    EXPECT_TRUE(ended.ok()) << ended.status().ToString();
    return !ended.ok() || ended.value();
  }));
  EXPECT_EQ(status, 0u);
  EXPECT_FALSE(child.held()) << "a child that has ended is let go";
  std::string expected;
  for (size_t i = 1; i < words.size(); ++i) expected += words[i] + "\n";
  EXPECT_EQ(testutil::ReadFile(dir_ / "args"), expected);
}

// What cannot be handed over whole is refused before anything starts.
TEST_F(ProcessTest, ArgumentVectorThatCannotBeHandedOverIsRefused) {
  const std::string recorder = Recorder();
  const struct {
    std::vector<std::string> words;
    int error;
  } cases[] = {
      {{recorder, "a\nb"}, EINVAL},
      {{recorder, "ok", "a\rb"}, EINVAL},
      {{recorder, std::string("a\0b", 3)}, EINVAL},
      {{}, ENOENT},
      {{dir_ / "missing.exe", "x"}, ENOENT},
  };
  for (const auto& c : cases) {
    const platform::Result<platform::Child> child =
        platform::SpawnArguments(c.words, platform::SpawnOptions());
    EXPECT_FALSE(child.value().held());
    EXPECT_EQ(child.status().error(), c.error) << (c.words.empty() ? "" : c.words.back());
  }
  // A spawn fault is matched against the words joined by blanks.
  platform::InjectFault(platform::FaultPoint::kSpawn, EAGAIN, "one two", 1);
  const platform::Result<platform::Child> faulted =
      platform::SpawnArguments({recorder, "one", "two"}, platform::SpawnOptions());
  EXPECT_FALSE(faulted.value().held());
  EXPECT_EQ(faulted.status().error(), EAGAIN);
  platform::ClearFaults();
  EXPECT_FALSE(testutil::FileExists(dir_ / "args"));
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

#ifdef _WIN32
constexpr int kNotInherited = _O_NOINHERIT | _O_BINARY;
#else
constexpr int kNotInherited = O_CLOEXEC;
#endif

TEST_F(ProcessTest, ChildOutputGoesToStandardErrorOrNowhereButNeverKillsIt) {
  platform::IgnoreServiceSignals();  // this test writes into a dead pipe itself
  const std::string command_line = Command("talker", "/bin/sh -c \"echo out; echo err >&2; exit 5\"",
                                           "say out\nwarn err\nexit 5\n");
  {
    const int file = open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | kNotInherited, 0600);
    StderrOn on_file(file);
    close(file);
    EXPECT_EQ(RunToEnd(command_line), 5u);
  }
  EXPECT_EQ(testutil::ReadFile(dir_ / "stderr"), "out\nerr\n");
  int dead[2];
#ifdef _WIN32
  ASSERT_EQ(_pipe(dead, 4096, kNotInherited), 0);
#else
  ASSERT_EQ(pipe2(dead, O_CLOEXEC), 0);
#endif
  close(dead[0]);  // nobody will ever read
  unsigned long exit_code;
  {
    StderrOn on_dead_pipe(dead[1]);
    exit_code = RunToEnd(command_line);
  }
  close(dead[1]);
  EXPECT_EQ(exit_code, 5u) << "128 + 13 is SIGPIPE";
}

// True once every writer of the pipe whose read end is `fd` has let go.
bool WritersGone(int fd) {
#ifdef _WIN32
  DWORD available = 0;
  return !PeekNamedPipe(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), nullptr, 0, nullptr,
                        &available, nullptr) &&
         GetLastError() == ERROR_BROKEN_PIPE;
#else
  struct pollfd watch = {fd, POLLIN, 0};
  return poll(&watch, 1, 0) == 1 && (watch.revents & POLLHUP) != 0;
#endif
}

// The caller's standard output (the service's account) never reaches a
// child: once the caller lets go of it, its reader sees the end while the
// child runs on.
TEST_F(ProcessTest, ChildHoldsNoCopyOfTheCallersStandardOutput) {
  int out[2];
#ifdef _WIN32
  ASSERT_EQ(_pipe(out, 4096, _O_BINARY), 0);  // inheritable, as a standard handle is
#else
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);  // fd 1 below is inheritable all the same
#endif
  std::fflush(stdout);
  const int saved = dup(1);
  dup2(out[1], 1);
  close(out[1]);
  CProcess child(Sleeper(30).c_str());
  const int started = child.Run(0, 1);
  dup2(saved, 1);
  close(saved);
  ASSERT_EQ(started, 1);
  EXPECT_TRUE(testutil::WaitFor([&] { return WritersGone(out[0]); }, std::chrono::seconds(5)));
  EXPECT_EQ(child.IsRunning(), 1);
  close(out[0]);
}

// A child reads end-of-file at once from its standard input and holds no
// descriptor beyond the three standard ones: neither one the caller left
// inheritable nor one kept for launching reaches it.
TEST_F(ProcessTest, ChildGetsEmptyInputAndOnlyTheStandardDescriptors) {
  if (testutil::kWindows) GTEST_SKIP() << "descriptors of a child are listed in /proc";
  const int left_open = open((dir_ / "held").c_str(), O_WRONLY | O_CREAT, 0600);  // inheritable
  ASSERT_GE(left_open, 3);
  // "cat" would wait for ever on any input but an empty one.
  EXPECT_EQ(RunToEnd("/bin/sh -c \"exec >" + (dir_ / "fds") +
                     "; cat; n=3; while [ $n -lt 1024 ]; do [ -e /proc/$$/fd/$n ] && echo $n;"
                     " n=$((n+1)); done; echo end\""),
            0u);
  close(left_open);
  EXPECT_EQ(testutil::ReadFile(dir_ / "fds"), "end\n");
}

#ifndef _WIN32  // signals are POSIX matters
void CaughtForTheTest(int) {}

// A child starts with no signal blocked and every standard signal at its
// default action, whatever the caller ignores, catches or blocks; the
// caller's own mask is the same after the start as before.
TEST_F(ProcessTest, ChildStartsWithNoSignalBlockedIgnoredOrCaught) {
  struct sigaction ignore = {}, catcher = {}, old_pipe, old_hup, old_usr2;
  ignore.sa_handler = SIG_IGN;
  catcher.sa_handler = CaughtForTheTest;
  sigaction(SIGPIPE, &ignore, &old_pipe);
  sigaction(SIGHUP, &ignore, &old_hup);
  sigaction(SIGUSR2, &catcher, &old_usr2);
  sigset_t blocked, before, after;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &before);
  unsigned long code;
  {
    // No shell between: a shell may clear the mask itself.
    const int file = open((dir_ / "status").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    StderrOn on_file(file);
    close(file);
    code = RunToEnd("/bin/cat /proc/self/status");
  }
  pthread_sigmask(SIG_SETMASK, &before, &after);
  sigaction(SIGPIPE, &old_pipe, nullptr);
  sigaction(SIGHUP, &old_hup, nullptr);
  sigaction(SIGUSR2, &old_usr2, nullptr);
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(sigismember(&after, SIGUSR1) && sigismember(&after, SIGTERM) &&
              !sigismember(&after, SIGUSR2));
  std::istringstream lines(testutil::ReadFile(dir_ / "status"));
  std::string line;
  int seen = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("SigBlk:", 0) != 0 && line.rfind("SigIgn:", 0) != 0 &&
        line.rfind("SigCgt:", 0) != 0) {
      continue;
    }
    // Signals 32 and up belong to the C library (which may leave some of
    // them ignored); the standard ones must all be clear.
    EXPECT_EQ(std::stoull(line.substr(7), nullptr, 16) & 0x7fffffffull, 0u) << line;
    ++seen;
  }
  EXPECT_EQ(seen, 3);
}
#endif

TEST_F(ProcessTest, NoShellEverSeesTheCommandLine) {
  const std::string recorder = Recorder();
  EXPECT_EQ(RunToEnd(recorder + " a;touch x $(touch y) `touch z` \"q r\"", dir_.path().c_str()),
            0u);
  EXPECT_EQ(testutil::ReadFile(dir_ / "args"), "a;touch\nx\n$(touch\ny)\n`touch\nz`\nq r\n");
  EXPECT_FALSE(testutil::FileExists(dir_ / "x"));
  EXPECT_FALSE(testutil::FileExists(dir_ / "y)"));
  EXPECT_FALSE(testutil::FileExists(dir_ / "z`"));
}

// Words that cmd would act on (commands, redirections, variables, escapes)
// reach a .CMD script as they reach any program: as text.
TEST_F(ProcessTest, NoWordOfTheCommandLineActsInABatchFile) {
  testutil::TempDir bin;
  ASSERT_TRUE(testutil::MakeRecordingProgram(bin.path(), "QZARUN.CMD", dir_ / "calls.log"));
  // Wine's cmd expands variables again in the text of a script's %1 (Windows
  // does not): there a %NAME% reaches the script whole and the script itself
  // expands it, so that word is left out under Wine.
  const bool variables = !testutil::RunningUnderWine();
  const std::string line = bin / "QZARUN.CMD" + " Feuer&echo\tINJECTED>inj.txt a|b " +
                           (variables ? "\"%PATH%\" " : "") +
                           "^x (p) !v! \"q r\" \\\"quoted\\\" plain";
  EXPECT_EQ(RunToEnd(line, dir_.path().c_str()), 0u);
  EXPECT_EQ(testutil::ReadFile(dir_ / "calls.log"),
            "QZARUN.CMD [Feuer&echo] [INJECTED>inj.txt] [a|b] " +
                std::string(variables ? "[%PATH%] " : "") +
                "[^x] [(p)] [!v!] [q r] [\"quoted\"] [plain]\n");
  EXPECT_FALSE(testutil::FileExists(dir_ / "inj.txt"));
}

TEST_F(ProcessTest, ScriptWithoutInterpreterLineRunsThroughSh) {
  if (testutil::kWindows) GTEST_SKIP() << "Windows runs no script without an extension";
  testutil::MakeExecutable(dir_ / "QZARUN.CMD", "echo \"$1\" > " + (dir_ / "out") + "\n");
  EXPECT_EQ(RunToEnd(dir_ / "QZARUN.CMD" + " hello"), 0u);
  EXPECT_EQ(testutil::ReadFile(dir_ / "out"), "hello\n");
}

// A script that creates `file`: a shell script, or on Windows a batch file.
void MakeTouchingScript(const std::string& script, std::string file) {
  if (testutil::kWindows) {
    std::replace(file.begin(), file.end(), '/', '\\');
    testutil::WriteFile(script, "@type nul > \"" + file + "\"\r\n");
  } else {
    testutil::MakeExecutable(script, "#!/bin/sh\ntouch " + file + "\n");
  }
}

TEST_F(ProcessTest, BareNameIsFoundInWorkingDirectoryThenPath) {
  testutil::TempDir bin;
  MakeTouchingScript(bin / "QZA_FROM_PATH.CMD", dir_ / "path");
  MakeTouchingScript(dir_ / "QZA_FROM_CWD.CMD", dir_ / "cwd");
  const std::string old_path = testutil::GetEnvironment("PATH");
  testutil::SetEnvironment("PATH", bin.path() + testutil::kPathListSeparator + old_path);
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_EQ(RunToEnd("QZA_FROM_PATH.CMD"), 0u);
  EXPECT_EQ(RunToEnd("QZA_FROM_CWD.CMD"), 0u);
  ASSERT_EQ(chdir(old_cwd), 0);
  testutil::SetEnvironment("PATH", old_path);
  EXPECT_TRUE(testutil::FileExists(dir_ / "path"));
  EXPECT_TRUE(testutil::FileExists(dir_ / "cwd"));
}

// Launches one after another from the same thread each start where they
// are told, or where the caller is: no launch's directory carries over.
TEST_F(ProcessTest, ChildStartsInTheGivenWorkingDirectory) {
  const std::string recorder = Recorder();
  testutil::TempDir other;
  const std::string given = other.path() + "\\";
  std::string here = std::filesystem::current_path().generic_string();
  const struct {
    const char* directory;
    const std::string& expected;
  } cases[] = {{given.c_str(), other.path()}, {nullptr, here}, {given.c_str(), other.path()}};
  for (const auto& c : cases) {
    CProcess process(recorder.c_str());
    const int started = c.directory ? process.Run(1, 1, c.directory) : process.Run(1, 1);
    ASSERT_EQ(started, 1);
    EXPECT_TRUE(testutil::WaitFor([&] { return process.IsRunning() == 0; }));
    std::string cwd = testutil::ReadFile(dir_ / "cwd");
    if (testutil::kWindows) std::replace(cwd.begin(), cwd.end(), '\\', '/');
    EXPECT_EQ(cwd, c.expected + "\n") << (c.directory ? c.directory : "(the caller's)");
  }
}

// A start that fails in the child itself, after the program was found, is
// reported as failed with its reason, and leaves no child behind.
TEST_F(ProcessTest, StartInAMissingDirectoryFailsWithItsReason) {
  const std::string recorder = Recorder();
  CProcess process(recorder.c_str());
  EXPECT_EQ(process.Run(1, 1, (dir_.path() + "/missing/").c_str()), 0);
  if (testutil::kWindows) {
    EXPECT_NE(process.LastError(), 0);
  } else {
    EXPECT_EQ(process.LastError(), ENOENT);
  }
  EXPECT_EQ(process.IsRunning(), 0);
  EXPECT_FALSE(testutil::FileExists(dir_ / "cwd"));
#ifndef _WIN32
  int status;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "no child, ended or not, is left";
  EXPECT_EQ(errno, ECHILD);
#endif
}

TEST_F(ProcessTest, ExitCodeIsStillActiveWhileRunningThenTheStatus) {
  CProcess process(
      Command("three", "/bin/sh -c \"sleep 0.3; exit 3\"", "sleep 300\nexit 3\n").c_str());
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
  int pid = 0;
  {
    CProcess process(Sleeper(30).c_str());
    ASSERT_EQ(process.Run(0, 1), 1);
    pid = testutil::ProcessIdOf(process.ProcessHandle());
    EXPECT_TRUE(testutil::ProcessAlive(pid));
  }
  EXPECT_FALSE(testutil::ProcessAlive(pid));
}

TEST_F(ProcessTest, KillEndsTheChildAndStoresZero) {
  CProcess process(Sleeper(30).c_str());
  ASSERT_EQ(process.Run(0, 1), 1);
  const int pid = testutil::ProcessIdOf(process.ProcessHandle());
  process.Kill();
  EXPECT_EQ(process.ExitCode(), 0u);
  EXPECT_EQ(process.IsRunning(), 0);
  EXPECT_FALSE(testutil::ProcessAlive(pid));
}

TEST_F(ProcessTest, DetachedChildSurvivesKillOfItsParent) {
  testutil::HelperProcess helper({Sleeper(30)}, false, "detach_helper");
  std::string line = helper.ReadLine();
  const int child = line.empty() ? 0 : std::stoi(line);
  ASSERT_GT(child, 0);
  helper.End();
  helper.Wait();
  EXPECT_FALSE(testutil::ProcessAlive(helper.pid()));
  EXPECT_TRUE(testutil::ProcessAlive(child));
  testutil::KillProcess(child);
}

#ifndef _WIN32

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

#endif

// Descriptors, zombies and the reaper that collects detached children are
// POSIX matters: Windows keeps no zombies and hands out no descriptors here.
#define SKIP_WITHOUT_ZOMBIES() \
  if (testutil::kWindows) GTEST_SKIP() << "Windows keeps no zombies and has no reaper"

// A child is owned once: a move hands it over, and each call that lets it go
// (a kill, its end seen, a detach) leaves the handle empty, so that nothing
// can later wait for or kill by an id that is no longer ours.
TEST_F(ProcessTest, ChildIsOwnedOnceAndEmptyOnceLetGo) {
  platform::Child empty;
  unsigned status = 7;
  const platform::Result<bool> asked = platform::ChildEnded(empty, &status);
  EXPECT_EQ(asked.status().error(), ECHILD);
  EXPECT_STREQ(asked.status().operation(), "wait");
  EXPECT_EQ(status, 7u) << "no status without a child";
  EXPECT_EQ(platform::KillChild(empty).error(), ECHILD);
  platform::DetachChild(empty);  // nothing to let go
  EXPECT_FALSE(empty.held());

  platform::Result<platform::Child> started =
      platform::SpawnCommandLine(Sleeper(30).c_str(), platform::SpawnOptions());
  ASSERT_TRUE(started.ok()) << started.status().ToString();
  platform::Child child = std::move(started).value();
  ASSERT_TRUE(child.held());
  const int pid = static_cast<int>(child.id());
  EXPECT_TRUE(testutil::ProcessAlive(pid));
  platform::Child owner(std::move(child));
  EXPECT_FALSE(child.held());  // NOLINT(bugprone-use-after-move): what a move leaves
  EXPECT_EQ(child.id(), 0);    // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(owner.id(), pid);
  const platform::Result<bool> running = platform::ChildEnded(owner, &status);
  ASSERT_TRUE(running.ok()) << running.status().ToString();
  EXPECT_FALSE(running.value());
  EXPECT_TRUE(owner.held()) << "a running child stays held";
  EXPECT_TRUE(platform::KillChild(owner).ok());
  EXPECT_FALSE(owner.held());
  EXPECT_FALSE(testutil::ProcessAlive(pid));
  EXPECT_EQ(platform::ChildEnded(owner, &status).status().error(), ECHILD)
      << "a killed child is let go";
}

// A handle destroyed or overwritten while it holds a child lets the child run
// on; once it ends, nothing of it is left (POSIX: the reaper collects it).
TEST_F(ProcessTest, ChildHandleLeftBehindDetachesItsChild) {
  const std::string sleeper = Sleeper(30);  // made once: Windows cannot replace it while it runs
  int pids[2] = {0, 0};
  {
    platform::Result<platform::Child> first =
        platform::SpawnCommandLine(sleeper.c_str(), platform::SpawnOptions());
    platform::Result<platform::Child> second =
        platform::SpawnCommandLine(sleeper.c_str(), platform::SpawnOptions());
    ASSERT_TRUE(first.ok()) << first.status().ToString();
    ASSERT_TRUE(second.ok()) << second.status().ToString();
    pids[0] = static_cast<int>(first.value().id());
    pids[1] = static_cast<int>(second.value().id());
    platform::Child held = std::move(first).value();
    held = std::move(second).value();  // the first child is let go here
    EXPECT_TRUE(testutil::ProcessAlive(pids[0]));
  }
  for (int pid : pids) {
    EXPECT_TRUE(testutil::ProcessAlive(pid)) << pid;
    testutil::KillProcess(pid);
    EXPECT_TRUE(testutil::WaitFor([&] { return !testutil::ProcessAlive(pid); })) << pid;
  }
#ifndef _WIN32
  EXPECT_TRUE(testutil::WaitFor([] {
    return ZombieChildren() == 0 && platform::Reaper::Instance().Pending() == 0;
  })) << ZombieChildren()
      << " zombies";
#endif
}

TEST_F(ProcessTest, ThousandsOfRunningDetachedChildrenHoldNoDescriptors) {
  SKIP_WITHOUT_ZOMBIES();
#ifndef _WIN32
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
#endif
}

TEST_F(ProcessTest, ReaperNeverTakesTheExitStatusOfAnOwnedChild) {
  SKIP_WITHOUT_ZOMBIES();
#ifndef _WIN32
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
#endif
}

TEST_F(ProcessTest, DetachedChildrenLeaveNoZombies) {
  SKIP_WITHOUT_ZOMBIES();
#ifndef _WIN32
  for (int i = 0; i < 200; ++i) {
    CProcess process("/bin/true");
    ASSERT_EQ(process.Run(0, 1), 1);
    process.Detach();
    EXPECT_EQ(process.ExitCode(), 0u);
  }
  EXPECT_TRUE(testutil::WaitFor([] { return ZombieChildren() == 0; }))
      << ZombieChildren() << " zombies";
#endif
}

// Its end was signalled before it was adopted, and no other child follows to
// wake the reaper again.
TEST_F(ProcessTest, ChildThatEndedBeforeDetachIsReapedAtOnce) {
  SKIP_WITHOUT_ZOMBIES();
#ifndef _WIN32
  CProcess process("/bin/true");
  ASSERT_EQ(process.Run(0, 1), 1);
  ASSERT_TRUE(testutil::WaitFor([] { return ZombieChildren() == 1; }));
  process.Detach();
  EXPECT_EQ(ZombieChildren(), 0);
  EXPECT_EQ(platform::Reaper::Instance().Pending(), 0u);
#endif
}

}  // namespace

}  // namespace qza
