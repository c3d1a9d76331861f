// Runs a test helper (tests/helpers/platform_helper by default) in a process
// of its own and reads the lines it prints.
#ifndef QZA_TESTS_HELPER_PROCESS_H_
#define QZA_TESTS_HELPER_PROCESS_H_

#include <fcntl.h>
#include <signal.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include "TestUtil.h"
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qza {

namespace testutil {

// The next line from a helper's output, without its line end (LF, or CR LF
// from a Windows program); empty at the end of the output.
inline std::string ReadHelperLine(FILE* out) {
  char line[256];
  if (out == nullptr || fgets(line, sizeof line, out) == nullptr) return std::string();
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

#ifdef _WIN32
// Windows: the helper is a process of its own with its standard output on a
// pipe; a kill ends it with the exit code 128 + the signal number, and Wait
// returns its exit code.
class HelperProcess {
 public:
  explicit HelperProcess(const std::vector<std::string>& args, bool as_nobody = false,
                         const std::string& program = "platform_helper") {
    if (as_nobody) throw std::runtime_error("no second user on Windows");
    std::string line = "\"" + AbsolutePath(TestProgram(program)) + "\"";
    for (const std::string& arg : args) line += " \"" + arg + "\"";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) throw std::runtime_error("pipe failed");
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &info);
    CloseHandle(write_end);
    if (!started) {
      CloseHandle(read_end);
      throw std::runtime_error("cannot start " + line);
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = static_cast<int>(info.dwProcessId);
    out_ = _fdopen(_open_osfhandle(reinterpret_cast<intptr_t>(read_end), _O_RDONLY), "rb");
  }
  ~HelperProcess() {
    End();
    Wait();
    if (out_ != nullptr) fclose(out_);
    if (process_ != nullptr) CloseHandle(process_);
  }
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  // The next line the helper prints, without its line end; empty at its end.
  std::string ReadLine() { return ReadHelperLine(out_); }
  void Kill(int signal_number) {
    if (process_ != nullptr && !waited_) TerminateProcess(process_, 128 + signal_number);
  }
  // Ends the helper at once.
  void End() { Kill(9); }
  int Wait() {
    if (process_ == nullptr || waited_) return status_;
    WaitForSingleObject(process_, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    status_ = static_cast<int>(code);
    waited_ = true;
    return status_;
  }
  int pid() const { return pid_; }

 private:
  HANDLE process_ = nullptr;
  int pid_ = -1;
  int status_ = 0;
  bool waited_ = false;
  FILE* out_ = nullptr;
};
#else
class HelperProcess {
 public:
  // Starts the helper (tests/<program>) with `args`; under uid and gid 65534
  // when `as_nobody`.
  explicit HelperProcess(const std::vector<std::string>& args, bool as_nobody = false,
                         const std::string& program = "platform_helper") {
    std::vector<std::string> words;
    if (as_nobody) {
      words = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    words.push_back(std::string(QZA_BINARY_DIR) + "/tests/" + program);
    words.insert(words.end(), args.begin(), args.end());
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      std::vector<char*> argv;
      for (std::string& word : words) argv.push_back(word.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = fdopen(out[0], "r");
  }
  ~HelperProcess() {
    Kill(SIGKILL);
    Wait();
    if (out_ != nullptr) fclose(out_);
  }
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  // The next line the helper prints, without its line end; empty at its end.
  std::string ReadLine() { return ReadHelperLine(out_); }
  void Kill(int signal_number) {
    if (pid_ > 0) kill(pid_, signal_number);
  }
  // Ends the helper at once.
  void End() { Kill(SIGKILL); }
  // Waits for the helper to end and returns its wait status.
  int Wait() {
    if (pid_ <= 0) return status_;
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status_;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  FILE* out_ = nullptr;
};
#endif

}  // namespace testutil

}  // namespace qza

#endif  // QZA_TESTS_HELPER_PROCESS_H_
