#include "platform/Process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/Path.h"
#include "platform/posix/Reaper.h"

extern char** environ;

namespace platform {
namespace {

// The directory of the running executable, read once.
const std::string& ExecutableDirectory() {
  static const std::string directory = [] {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::string();
    std::string path(buffer, n);
    return path.substr(0, path.rfind('/') + 1);
  }();
  return directory;
}

// 0 when `path` is a regular file that this process may execute; otherwise
// the error an exec would give: ENOENT (or another lookup error) when it is
// missing, EACCES when it is no regular file or not executable.
int ExecutableFileError(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EACCES;
  return access(path.c_str(), X_OK) == 0 ? 0 : errno;
}

// /dev/null, opened once for reading and writing (close-on-exec): a child's
// standard descriptors are copied from it, which spares each launch a path
// lookup while the service waits for the spawn. -1 when it cannot be opened;
// the child then opens it itself.
int NullDescriptor() {
  static const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  return fd;
}

// Makes `target` of the child /dev/null.
void AddNull(posix_spawn_file_actions_t* actions, int target, int flags) {
  if (NullDescriptor() >= 0) {
    posix_spawn_file_actions_adddup2(actions, NullDescriptor(), target);
  } else {
    posix_spawn_file_actions_addopen(actions, target, "/dev/null", flags, 0);
  }
}

// True when the caller's standard error can take output: it is open and its
// reader, if it is a pipe or socket, has not gone. A child writing into a dead
// pipe would be ended by SIGPIPE.
bool StandardErrorUsable() {
  struct pollfd pfd = {STDERR_FILENO, POLLOUT, 0};
  while (poll(&pfd, 1, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

// What a child gets besides its command line: its standard descriptors,
// nothing else inherited, its directory, its session or process group, and
// every signal unblocked and at its default action. Building it costs a
// check of the descriptor limit per descriptor action and a few allocations,
// so a thread keeps the last one it built and builds anew only when the
// wanted setup differs.
class SpawnSetup {
 public:
  struct Key {
    bool error_usable = false;
    bool new_session = false;
    std::string directory;
    bool operator==(const Key&) const = default;
  };

  explicit SpawnSetup(Key key) : key_(std::move(key)) {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
    AddNull(&actions_, 0, O_RDONLY);
    if (key_.error_usable) {
      posix_spawn_file_actions_adddup2(&actions_, 2, 1);
    } else {
      AddNull(&actions_, 1, O_WRONLY);
      posix_spawn_file_actions_adddup2(&actions_, 1, 2);
    }
    // Nothing but the standard descriptors reaches the child, not even one
    // that whoever started the service left inheritable.
    posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
    if (!key_.directory.empty()) {
      posix_spawn_file_actions_addchdir_np(&actions_, key_.directory.c_str());
    }
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes_, &signals);
    // Every standard signal gets its default action (an ignored one would
    // stay ignored across exec; caught ones are reset by exec itself); the
    // real-time ones are never ignored here, and each reset is a call the
    // child makes while the service waits for the spawn.
    for (int number = 1; number < 32; ++number) {
      if (number != SIGKILL && number != SIGSTOP) sigaddset(&signals, number);
    }
    posix_spawnattr_setsigdefault(&attributes_, &signals);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (key_.new_session) {
      flags |= POSIX_SPAWN_SETSID;
    } else {
      flags |= POSIX_SPAWN_SETPGROUP;
      posix_spawnattr_setpgroup(&attributes_, 0);
    }
    posix_spawnattr_setflags(&attributes_, flags);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // The calling thread's setup for `key`.
  static const SpawnSetup& For(Key key) {
    thread_local std::unique_ptr<SpawnSetup> last;
    if (!last || !(last->key_ == key)) last = std::make_unique<SpawnSetup>(std::move(key));
    return *last;
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  Key key_;
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// Starts `program` with `argv`; returns the pid, or 0 with the spawn error.
pid_t Spawn(const std::string& program, std::vector<std::string>& words,
            const SpawnOptions& options, int* error) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  SpawnSetup::Key key;
  key.error_usable = StandardErrorUsable();
  key.new_session = options.new_session;
  if (options.working_directory != nullptr) key.directory = NativePath(options.working_directory);
  const SpawnSetup& setup = SpawnSetup::For(std::move(key));
  pid_t pid = 0;
  *error = posix_spawn(&pid, program.c_str(), setup.actions(), setup.attributes(), argv.data(),
                       environ);
  return *error == 0 ? pid : 0;
}

}  // namespace

std::string FindProgram(const std::string& word, int* error) {
  *error = ENOENT;
  if (word.empty()) return std::string();
  if (word.find_first_of("\\/") != std::string::npos || (word.size() > 1 && word[1] == ':')) {
    std::string native = NativePath(word.c_str());
    *error = ExecutableFileError(native);
    return *error == 0 ? native : std::string();
  }
  bool refused = false;
  auto usable = [&](const std::string& candidate) {
    const int candidate_error = ExecutableFileError(candidate);
    if (candidate_error == EACCES) refused = true;
    return candidate_error == 0;
  };
  std::string candidate = ExecutableDirectory() + word;
  if (usable(candidate)) return candidate;
  candidate = "./" + word;
  if (usable(candidate)) return candidate;
  const char* path = getenv("PATH");
  for (const char* p = path; p != nullptr; ++p) {
    const char* end = std::strchr(p, ':');
    std::string directory = end ? std::string(p, end - p) : std::string(p);
    candidate = (directory.empty() ? std::string(".") : directory) + "/" + word;
    if (usable(candidate)) return candidate;
    if (end == nullptr) break;
    p = end;
  }
  *error = refused ? EACCES : ENOENT;
  return std::string();
}

namespace {

// Starts the program file found for `words` with them as its argument vector.
pid_t SpawnProgram(std::string program, std::vector<std::string> words,
                   const SpawnOptions& options, int* error) {
  if (program[0] != '/') {
    // The child may start in another directory: name the program absolutely.
    char directory[PATH_MAX];
    if (getcwd(directory, sizeof directory) == nullptr) {
      *error = errno;
      return 0;
    }
    program = std::string(directory) + "/" + program;
  }
  pid_t pid = Spawn(program, words, options, error);
  if (pid == 0 && *error == ENOEXEC) {
    // A script without an interpreter line: run it by the shell, as execvp does.
    words[0] = program;
    words.insert(words.begin(), "/bin/sh");
    pid = Spawn("/bin/sh", words, options, error);
  }
  return pid;
}

}  // namespace

pid_t SpawnCommandLine(const char* command_line, const SpawnOptions& options, int* error) {
  std::vector<std::string> words;
  std::string program;
  if (!CommandProgram(command_line, &words, &program, error)) return 0;
  return SpawnProgram(std::move(program), std::move(words), options, error);
}

pid_t SpawnArguments(const std::vector<std::string>& words, const SpawnOptions& options,
                     int* error) {
  std::string program;
  if (!ArgumentsProgram(words, &program, error)) return 0;
  return SpawnProgram(std::move(program), words, options, error);
}

bool ChildEnded(pid_t pid, unsigned* exit_status) {
  int status = 0;
  pid_t result;
  do {
    result = waitpid(pid, &status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result == 0) return false;
  if (result < 0) return true;  // no such child any more; the status stays as it was
  if (WIFEXITED(status)) {
    *exit_status = static_cast<unsigned>(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    *exit_status = 128u + static_cast<unsigned>(WTERMSIG(status));
  }
  return true;
}

void KillChild(pid_t pid) {
  kill(-pid, SIGKILL);  // the child leads its own process group
  kill(pid, SIGKILL);   // in case it has left that group
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

void DetachChild(pid_t pid) { Reaper::Instance().Adopt(pid); }

// Starts here are not run on a thread of their own: nothing to bound.
void SetStartLimitForTests(uint32_t, uint32_t) {}
int StalledStarts() { return 0; }

}  // namespace platform
