// Runs tests/helpers/platform_helper in a process of its own and reads the
// lines it prints.
#ifndef QZA_TESTS_HELPER_PROCESS_H_
#define QZA_TESTS_HELPER_PROCESS_H_

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace testutil {

class HelperProcess {
 public:
  // Starts the helper with `args`; under uid and gid 65534 when `as_nobody`.
  explicit HelperProcess(const std::vector<std::string>& args, bool as_nobody = false) {
    std::vector<std::string> words;
    if (as_nobody) {
      words = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    words.push_back(std::string(QZA_BINARY_DIR) + "/tests/platform_helper");
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

  // The next line the helper prints, without its LF; empty at its end.
  std::string ReadLine() {
    char line[256];
    if (out_ == nullptr || fgets(line, sizeof line, out_) == nullptr) return std::string();
    std::string text = line;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  void Kill(int signal_number) {
    if (pid_ > 0) kill(pid_, signal_number);
  }
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

}  // namespace testutil

#endif  // QZA_TESTS_HELPER_PROCESS_H_
