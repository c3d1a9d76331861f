// Runs one platform operation in a process of its own, for tests that need a
// fresh process, a closed descriptor, another user or a process to kill.
//
//   platform_helper prepare <report>   PrepareProcess, then reports in <report>
//                                       what descriptors 0..2 are, the signal
//                                       dispositions, the descriptor limits
//                                       and what a write past the file size
//                                       limit gives
//   platform_helper claim <dir> [cmd]   claims the installation in <dir>,
//                                       prints the result and the errno, starts
//                                       and detaches `cmd` when given (and
//                                       prints its pid), and waits to be
//                                       killed when it claimed
//   platform_helper stop <dir>          waits on a change notification of
//                                       <dir> with the stop handlers set;
//                                       prints "waiting", then "stopped" on
//                                       kStopped, then waits for more signals
//
// On Windows only `claim` exists (descriptors, signals and limits are POSIX
// matters there), and it prints the child's process id, not its handle.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/ChangeNotification.h"
#include "platform/Instance.h"
#include "platform/Startup.h"
#include "support/CProcess.h"
#include "WaitToBeEnded.h"

namespace qza {

namespace {

#ifndef _WIN32
std::string DescribeDescriptor(int fd) {
  char target[256];
  ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
  return n < 0 ? std::string("closed") : std::string(target, n);
}

bool Ignored(int signal_number) {
  struct sigaction action;
  return sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
}

int Prepare(const char* report_path) {
  const platform::Status prepared = platform::PrepareProcess();
  std::string report = "prepare " + std::to_string(prepared.error()) + "\n";
  for (int fd = 0; fd <= 2; ++fd) {
    report += "fd" + std::to_string(fd) + " " + DescribeDescriptor(fd) + "\n";
  }
  for (int s : {SIGPIPE, SIGIO, SIGXFSZ}) {
    report += std::string(strsignal(s)) + (Ignored(s) ? " ignored\n" : " default\n");
  }
  struct rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  report += limit.rlim_cur == limit.rlim_max ? "nofile raised\n" : "nofile low\n";
  // A write past the file size limit must fail, not end the process.
  struct rlimit file_size;
  getrlimit(RLIMIT_FSIZE, &file_size);
  const struct rlimit small = {4, file_size.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
  const std::string big = std::string(report_path) + ".big";
  int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ssize_t n = write(fd, "12345678", 8);  // a short write up to the limit
  n = write(fd, "9", 1);
  report += n < 0 && errno == EFBIG ? "past limit EFBIG\n" : "past limit written\n";
  close(fd);
  unlink(big.c_str());
  setrlimit(RLIMIT_FSIZE, &file_size);
  FILE* out = fopen(report_path, "w");
  if (out == nullptr) return 1;
  fputs(report.c_str(), out);
  return fclose(out) == 0 ? 0 : 1;
}

#endif

int Claim(const char* directory, const char* command_line) {
  if (chdir(directory) != 0) return 2;
  const platform::Result<platform::InstanceClaim> claim = platform::ClaimInstance();
  if (!claim.ok()) {
    std::printf("failed %d %s\n", claim.status().error(), claim.status().operation());
  } else {
    std::printf("%s 0\n", claim.value() == platform::InstanceClaim::kClaimed ? "claimed" : "held");
  }
  std::fflush(stdout);
  if (!claim.ok() || claim.value() != platform::InstanceClaim::kClaimed) return 0;
  if (command_line != nullptr) {
    CProcess child(command_line);
    if (!child.Run(0, 1)) return 3;
#ifdef _WIN32
    std::printf("%lu\n", GetProcessId(reinterpret_cast<HANDLE>(child.ProcessHandle())));
#else
    std::printf("%ld\n", child.ProcessHandle());
#endif
    std::fflush(stdout);
    child.Detach();
  }
  WaitToBeEnded();
}

#ifndef _WIN32
int Stop(const char* directory) {
  if (!platform::InstallStopHandlers().ok()) return 2;
  platform::ChangeNotification notification;
  (void)notification.Create(directory);  // a stop ends the wait with or without a watch
  std::printf("waiting\n");
  std::fflush(stdout);
  if (notification.Wait(600000) != platform::ChangeNotification::kStopped) return 1;
  std::printf("stopped\n");
  std::fflush(stdout);
  WaitToBeEnded();
}
#endif

}  // namespace

int Main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "claim" && argc >= 3) return Claim(argv[2], argc > 3 ? argv[3] : nullptr);
#ifndef _WIN32
  if (mode == "prepare" && argc == 3) return Prepare(argv[2]);
  if (mode == "stop" && argc == 3) return Stop(argv[2]);
#endif
  std::fprintf(stderr, "usage: platform_helper prepare|claim|stop ...\n");
  return 2;
}

}  // namespace qza

int main(int argc, char** argv) { return qza::Main(argc, argv); }
