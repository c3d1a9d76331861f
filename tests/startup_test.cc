#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <string>
#include <vector>

#include "HelperProcess.h"
#include "TestUtil.h"

namespace qza {

namespace {

#ifndef _WIN32
// Runs `platform_helper prepare` with the listed standard descriptors closed
// and the others on the file `kept`; returns its report.
std::string PrepareWithClosed(const std::vector<int>& closed, const testutil::TempDir& dir) {
  const std::string helper = std::string(QZA_BINARY_DIR) + "/tests/platform_helper";
  const std::string report = dir / "report";
  const std::string kept = dir / "kept";
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(kept.c_str(), O_RDWR | O_CREAT, 0600);
    for (int standard = 0; standard <= 2; ++standard) dup2(fd, standard);
    close(fd);
    for (int standard : closed) close(standard);
    execl(helper.c_str(), helper.c_str(), "prepare", report.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  return testutil::ReadFile(report);
}
#endif

TEST(PrepareProcess, OpensMissingStandardDescriptorsAndIgnoresHarmfulSignals) {
#ifdef _WIN32
  GTEST_SKIP() << "descriptors, signal dispositions and resource limits are POSIX matters";
#else
  static const struct {
    std::vector<int> closed;
    const char* descriptors;
  } cases[] = {
      {{}, "fd0 K\nfd1 K\nfd2 K\n"},
      {{0}, "fd0 /dev/null\nfd1 K\nfd2 K\n"},
      {{2}, "fd0 K\nfd1 K\nfd2 /dev/null\n"},
      {{1, 2}, "fd0 K\nfd1 /dev/null\nfd2 /dev/null\n"},
      {{0, 1, 2}, "fd0 /dev/null\nfd1 /dev/null\nfd2 /dev/null\n"},
  };
  for (const auto& c : cases) {
    testutil::TempDir dir;
    std::string expected = std::string("prepare 0\n") + c.descriptors;
    const std::string kept = std::string(" ").append(dir / "kept").append("\n");
    for (size_t k; (k = expected.find(" K\n")) != std::string::npos;) {
      expected.replace(k, 3, kept);
    }
    expected +=
        "Broken pipe ignored\nI/O possible ignored\nFile size limit exceeded ignored\n"
        "nofile raised\npast limit EFBIG\n";
    EXPECT_EQ(PrepareWithClosed(c.closed, dir), expected) << c.closed.size() << " closed";
  }
#endif
}

TEST(StopSignals, FirstEndsTheWaitSecondEndsTheProcess) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer holds a signal back from a thread blocked in a wait";
#endif
#ifdef _WIN32
  GTEST_SKIP() << "POSIX signals; Windows stops through console control events, which end "
                  "the wait as the change notification test shows";
#else
  testutil::TempDir dir;
  for (int second : {SIGTERM, SIGINT, SIGHUP}) {
    testutil::HelperProcess helper({"stop", dir.path()});
    ASSERT_EQ(helper.ReadLine(), "waiting");
    helper.Kill(SIGTERM);
    EXPECT_EQ(helper.ReadLine(), "stopped");
    helper.Kill(second);
    const int status = helper.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == second) << "status " << status;
  }
#endif
}

}  // namespace

}  // namespace qza
