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

// Success when `path` is a regular file that this process may execute;
// otherwise the error an exec would give: ENOENT (or another lookup error)
// when it is missing, EACCES when it is no regular file or not executable.
Status ExecutableFile(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return backend::LastFailure("start");
  if (!S_ISREG(st.st_mode)) return Status::Failure("start", EACCES);
  if (access(path.c_str(), X_OK) != 0) return backend::LastFailure("start");
  return Status();
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

// Starts `program` with `argv`; returns the child, or the spawn error.
Result<Child> Spawn(const std::string& program, std::vector<std::string>& words,
                    const SpawnOptions& options) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  SpawnSetup::Key key;
  key.error_usable = StandardErrorUsable();
  key.new_session = options.new_session;
  if (options.working_directory != nullptr) key.directory = NativePath(options.working_directory);
  const SpawnSetup& setup = SpawnSetup::For(std::move(key));
  pid_t pid = 0;
  // posix_spawn returns its error rather than setting errno.
  const int error =
      posix_spawn(&pid, program.c_str(), setup.actions(), setup.attributes(), argv.data(), environ);
  if (error != 0) return Status::Failure("start", error);
  return Child::FromNative(pid, pid);
}

}  // namespace

Result<std::string> FindProgram(const std::string& word) {
  if (word.empty()) return Status::Failure("start", ENOENT);
  if (word.find_first_of("\\/") != std::string::npos || (word.size() > 1 && word[1] == ':')) {
    std::string native = NativePath(word.c_str());
    const Status status = ExecutableFile(native);
    if (!status.ok()) return status;
    return native;
  }
  bool refused = false;
  auto usable = [&](const std::string& candidate) {
    const Status status = ExecutableFile(candidate);
    if (status.error() == EACCES) refused = true;
    return status.ok();
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
  return Status::Failure("start", refused ? EACCES : ENOENT);
}

namespace backend {

Result<Child> SpawnProgram(const std::string& found, std::vector<std::string> words,
                           const SpawnOptions& options) {
  std::string program = found;
  if (program[0] != '/') {
    // The child may start in another directory: name the program absolutely.
    char directory[PATH_MAX];
    if (getcwd(directory, sizeof directory) == nullptr) return LastFailure("start");
    program = std::string(directory).append("/").append(program);
  }
  Result<Child> child = Spawn(program, words, options);
  if (child.status().error() == ENOEXEC) {
    // A script without an interpreter line: run it by the shell, as execvp does.
    words[0] = program;
    words.insert(words.begin(), "/bin/sh");
    child = Spawn("/bin/sh", words, options);
  }
  return child;
}

Result<bool> ChildEnded(intptr_t native, unsigned* exit_status) {
  const pid_t pid = static_cast<pid_t>(native);
  int status = 0;
  pid_t result;
  do {
    result = waitpid(pid, &status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result < 0) return LastFailure("wait");  // no such child any more
  if (result == 0) return false;
  if (WIFEXITED(status)) {
    *exit_status = static_cast<unsigned>(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    *exit_status = 128u + static_cast<unsigned>(WTERMSIG(status));
  }
  return true;
}

Status KillChild(intptr_t native) {
  const pid_t pid = static_cast<pid_t>(native);
  // The child leads its own process group; the group may be gone already
  // while the child itself lives on, outside it.
  (void)kill(-pid, SIGKILL);
  Status killed;
  if (kill(pid, SIGKILL) != 0) killed = LastFailure("kill");
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return killed.ok() ? LastFailure("wait") : killed;
  }
  return killed;
}

void DetachChild(intptr_t native) { Reaper::Instance().Adopt(static_cast<pid_t>(native)); }

}  // namespace backend

// Starts here are not run on a thread of their own: nothing to bound.
void SetStartLimitForTests(uint32_t, uint32_t) {}
int StalledStarts() { return 0; }

}  // namespace platform
