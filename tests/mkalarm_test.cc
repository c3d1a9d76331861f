// The alarm tool writes files that the service reads as valid alarms.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "alarm/AlarmFile.h"
#include "core/Configuration.h"
#include "support/CDosFile.h"

namespace qza {

namespace {

// The tool with `arguments` as the system's shell runs it. Windows' cmd
// groups words with double quotes only, where the tests write single ones.
std::string ToolCommand(std::string arguments) {
  const std::string tool = testutil::AbsolutePath(std::string(QZA_BINARY_DIR) + "/qza_mkalarm" +
                                                  testutil::kExecutableSuffix);
  if (testutil::kWindows) std::replace(arguments.begin(), arguments.end(), '\'', '"');
  return tool + " " + arguments;
}

// The exit code of a command that std::system or pclose ran.
int ExitCode(int status) {
#ifdef _WIN32
  return status;  // the exit code itself
#else
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

long ProcessId() {
#ifdef _WIN32
  return static_cast<long>(GetCurrentProcessId());
#else
  return static_cast<long>(getpid());
#endif
}

int RunTool(const std::string& arguments) {
  const char* quiet = testutil::kWindows ? " >NUL 2>&1" : " >/dev/null 2>&1";
  return ExitCode(std::system((ToolCommand(arguments) + quiet).c_str()));
}

TEST(Mkalarm, WritesAValidAlarmUnderItsName) {
  testutil::TempDir dir;
  ASSERT_EQ(RunTool("--type OLSTART --group 'G 1' --text 'Feuer im Keller' --console-id 7 "
                    "--console-name Leitstand --message-id M42 --server 12 --console 3 --dir " +
                    dir.path()),
            0);
  const std::string bytes = testutil::ReadFile(dir / "qza12k3.in");
  AlarmRequest request;
  std::vector<std::string> messages;
  ASSERT_EQ(ParseAlarmLines(SplitAlarmLines(bytes.data(), bytes.size()), false, &request,
                            &messages),
            AlarmReadOutcome::kRead);
  EXPECT_TRUE(request.within_limits);
  EXPECT_TRUE(AlarmChecksumValid(request));
  EXPECT_EQ(request.type, AlarmType::OutlookStart);
  EXPECT_STREQ(request.command_line, "tovarin.exe G 1 M42 0 Leitstand ");
  EXPECT_STREQ(request.text, "Feuer im Keller");
}

// The names of the spool directory, sorted.
std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Another writer of the spool cannot foresee the temporary name: links (on
// Windows, directories) planted at every name that a process id would give
// neither stop the tool nor receive what it writes.
TEST(Mkalarm, NamesPlantedInItsWayDoNotStopIt) {
  testutil::TempDir dir;
  testutil::TempDir elsewhere;
  const long first = ProcessId();
  const int kPlanted = 3000;
  for (long pid = first; pid < first + kPlanted; ++pid) {
    const std::string name = dir / (".qza_mkalarm." + std::to_string(pid));
    ASSERT_TRUE(testutil::kWindows ? testutil::MakeDirectory(name)
                                   : testutil::MakeSymlink(elsewhere / std::to_string(pid), name))
        << name;
  }
  const std::vector<std::string> planted = Names(dir.path());
  for (int console = 0; console < 5; ++console) {
    ASSERT_EQ(RunTool("--type ALARM --console " + std::to_string(console) + " --dir " + dir.path()),
              0);
  }
  std::vector<std::string> expected = planted;
  for (int console = 0; console < 5; ++console) {
    expected.push_back("qza1k" + std::to_string(console) + ".in");
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Names(dir.path()), expected) << "the alarms and nothing left behind";
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));
}

TEST(Mkalarm, NeverReplacesAWaitingAlarmFile) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "qza1k1.in", "waiting");
  EXPECT_EQ(RunTool("--type ALARM --dir " + dir.path()), 1);
  EXPECT_EQ(testutil::ReadFile(dir / "qza1k1.in"), "waiting");
  EXPECT_EQ(RunTool("--type ALARM --file other.in --dir " + dir.path()), 0);
  EXPECT_TRUE(testutil::FileExists(dir / "other.in"));
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"other.in", "qza1k1.in"}))
      << "no temporary file is left";
}

TEST(Mkalarm, RefusesFieldsBeyondTheFormatAndExplainsItself) {
  testutil::TempDir dir;
  EXPECT_EQ(RunTool("--message-id " + std::string(40, 'm') + " --dir " + dir.path()), 2);
  EXPECT_EQ(RunTool("--bogus"), 2);
  EXPECT_EQ(RunTool("--help"), 0);
  EXPECT_FALSE(testutil::FileExists(dir / "qza1k1.in"));
}

TEST(Mkalarm, RefusesFieldsThatOnlyTogetherBreakTheFormat) {
  testutil::TempDir dir;
  const std::string group(200, 'g');
  const std::string name(127, 'n');
  static const struct {
    std::string arguments;
    int status;
  } cases[] = {
      // Each field within its own limit, 200 + 127 + 127 + 39 = 493 > 475 together.
      {"--group " + group + " --text " + std::string(127, 't') + " --console-name " + name +
           " --message-id " + std::string(39, 'm'),
       2},
      // The command with its archive name passes 255 characters.
      {"--group " + group + " --console-name " + std::string(40, 'n'), 2},
      {"--group " + std::string(100, 'g') + " --console-name " + std::string(40, 'n'), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RunTool(c.arguments + " --dir " + dir.path()), c.status) << c.arguments;
    std::remove((dir / "qza1k1.in").c_str());
  }
}

}  // namespace

// A file that cannot be written or put in place is refused with its reason.
TEST(Mkalarm, FailuresNameTheirReason) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "qza1k1.in", "waiting");
  static const struct {
    std::string dir;
    const char* reason;
  } cases[] = {
      {dir / "missing", "No such file or directory"},
      {dir.path(), "File exists"},
  };
  for (const auto& c : cases) {
    const std::string command = ToolCommand("--type ALARM --dir " + c.dir) + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char chunk[256];
    while (fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
    EXPECT_NE(ExitCode(pclose(pipe)), 0);
    EXPECT_NE(output.find(c.reason), std::string::npos) << output;
  }
}

}  // namespace qza
