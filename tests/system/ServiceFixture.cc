#include "system/ServiceFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include "platform/File.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <sstream>

namespace qza {

namespace systemtest {
namespace {

const char* const kIniRows[][3] = {
    {"Server", "Number", "1"},
    {"Server", "NeedOneConsOf", ""},
    {"Server", "NeedAllConsOf", ""},
    {"Server", "WaitForSec", "30"},
    {"Server", "SleepAfterError", "1200"},
    {"Server", "PollSec", "0"},
    {"Server", "SyncJournal", "0"},
    {"Pathnames", "WatchPath", "spool/"},
    {"Pathnames", "AckPath", "ack/"},
    {"Pathnames", "WatchFiles", "spool/qza%ik?.in"},
    {"Pathnames", "WatchDogFiles", "spool/qza%ik?.dog"},
    {"Pathnames", "WatchJobFiles", "spool/qz*.job"},
    {"Pathnames", "JobPath", "spool/"},
    {"Pathnames", "WatchTtsFiles", "spool/qz*.tts"},
    {"Pathnames", "TtsPath", "spool/"},
    {"Pathnames", "TtsLogPath", "ttslog/"},
    {"Pathnames", "SvoxPath", "svox/"},
    {"Alarm", "UseVoxFile", "0"},
    {"SVoxSettings", "Voice", "judith8"},
    {"SVoxSettings", "Speed", "100"},
    {"SVoxSettings", "Pitch", "100"},
    {"SVoxSettings", "MaxSeconds", "60"},
    {"SVoxSettings", "MaxJobSeconds", "300"},
    // Written only when a test sets them.
    {"SVoxSettings", "WavDirs", nullptr},
    {"SVoxSettings", "MaxJobWavBytes", nullptr},
    {"SVoxSettings", "MaxDayWavBytes", nullptr},
};

}  // namespace

bool WaitForProgress(const std::function<size_t()>& measure, size_t goal,
                     std::chrono::milliseconds timeout) {
  size_t reached = measure();
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (reached < goal) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
    const size_t now = measure();
    if (now > reached) deadline = std::chrono::steady_clock::now() + timeout;
    reached = now;
  }
  return true;
}

std::string YearMonth() {
  const std::tm local = testutil::LocalTime(std::time(nullptr));
  char text[32];
  snprintf(text, sizeof text, "%02d%02d", local.tm_year % 100, local.tm_mon + 1);
  return text;
}

std::string ReadyLines() {
  if (platform::CanLeaseFilesOfOthers()) return "Ready\n";
  return "This process cannot take leases on files of other users (it needs CAP_LEASE): such a "
         "spool file is guarded by locks alone, so a writer must write under another name and "
         "rename the file into place\n"
         "Ready\n";
}

std::string ServiceBinary() {
  return testutil::AbsolutePath(std::string(QZA_BINARY_DIR) + "/qza_wdir" +
                                testutil::kExecutableSuffix);
}

std::string MkalarmBinary() {
  return testutil::AbsolutePath(std::string(QZA_BINARY_DIR) + "/qza_mkalarm" +
                                testutil::kExecutableSuffix);
}

#ifdef _WIN32
namespace {

// This process's environment with PATH replaced and LANG=C, as an
// environment block.
std::string EnvironmentWith(const std::string& path_env) {
  std::string block;
  if (char* strings = GetEnvironmentStringsA()) {
    for (const char* entry = strings; *entry != '\0'; entry += std::strlen(entry) + 1) {
      if (_strnicmp(entry, "PATH=", 5) == 0 || _strnicmp(entry, "LANG=", 5) == 0) continue;
      block.append(entry).push_back('\0');
    }
    FreeEnvironmentStringsA(strings);
  }
  block.append("PATH=" + path_env).push_back('\0');
  block.append("LANG=C").push_back('\0');
  block.push_back('\0');
  return block;
}

HANDLE Handle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }

// One start of the service on a thread of its own, so that the test can give
// it up: under load Wine's process creation now and then waits for good for
// the new process to report that it is up. The process is created suspended
// and resumed only once the test has taken it; a start that returns after it
// was given up ends its process, which never ran. The attempt owns its pipe
// and the handles that the child inherits, so an abandoned one closes them
// only when its thread is done with them.
struct StartCall {
  ~StartCall() {
    for (HANDLE handle : {read_end, write_end, input, error}) {
      if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
  }
  bool OpenHandles(const std::string& errors_file) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    // A small pipe, so that a stalled reader is felt soon.
    if (!CreatePipe(&read_end, &write_end, &inherit, 4096)) return false;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                        OPEN_EXISTING, 0, nullptr);
    error = CreateFileA(errors_file.c_str(), FILE_APPEND_DATA,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                        OPEN_ALWAYS, 0, nullptr);
    return true;
  }
  void Run() {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = write_end;
    startup.hStdError = error;
    PROCESS_INFORMATION created{};
    const BOOL ok =
        CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                       environment.data(), directory.c_str(), &startup, &created);
    const DWORD code = ok ? 0 : GetLastError();
    std::lock_guard<std::mutex> lock(mutex);
    if (abandoned && ok) {
      TerminateProcess(created.hProcess, 1);
      CloseHandle(created.hThread);
      CloseHandle(created.hProcess);
    } else {
      started = ok;
      last_error = code;
      info = created;
    }
    answered = true;
    changed.notify_all();
  }
  // Waits up to `limit` for the answer; false (and the attempt given up) when
  // none came.
  bool Await(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    if (changed.wait_for(lock, limit, [&] { return answered; })) return true;
    abandoned = true;
    return false;
  }

  std::string command_line, environment, directory;
  HANDLE read_end = nullptr, write_end = nullptr;
  HANDLE input = INVALID_HANDLE_VALUE, error = INVALID_HANDLE_VALUE;
  std::mutex mutex;
  std::condition_variable changed;
  bool answered = false, abandoned = false;
  BOOL started = FALSE;
  DWORD last_error = 0;
  PROCESS_INFORMATION info{};
};

constexpr std::chrono::milliseconds kStartLimit = 30s;

}  // namespace

// Windows: the service is a process of its own, started in `directory`, its
// standard output on a pipe that a thread reads.
//
// Standard error goes to a file of the test directory (the service's
// children write there too), not to the test's own: under Wine a child whose
// start a kill of the service interrupts never runs and never ends, and it
// would hold the test's output open for good.
Service::Service(const std::string& directory, const std::string& path_env, bool read_output,
                 const StartOptions& options) {
  errors_file_ = testutil::AbsolutePath(directory + "/service.err");
  std::string command_line = "\"" + ServiceBinary() + "\"";
  for (const std::string& argument : options.arguments) command_line += " \"" + argument + "\"";
  std::shared_ptr<StartCall> call;
  for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
    call = std::make_shared<StartCall>();
    call->command_line = command_line;
    call->environment = EnvironmentWith(path_env);
    call->directory = testutil::AbsolutePath(directory);
    if (!call->OpenHandles(errors_file_)) throw std::runtime_error("pipe failed");
    std::thread([call] { call->Run(); }).detach();
    const bool answered = call->Await(kStartLimit);
    if (answered && call->started) break;
    std::string why = "not answered by the system in time";
    if (answered) {
      why = "refused by the system (error ";
      why.append(std::to_string(call->last_error)).append(")");
    }
    fprintf(stderr, "start %d of %d of %s %s%s\n", attempt, kStartAttempts, command_line.c_str(),
            why.c_str(), attempt < kStartAttempts ? ": trying again" : "");
    if (attempt < kStartAttempts) std::this_thread::sleep_for(kStartRetryPause);
  }
  std::lock_guard<std::mutex> lock(call->mutex);
  if (!call->started) throw std::runtime_error("cannot start " + command_line);
  ResumeThread(call->info.hThread);
  CloseHandle(call->info.hThread);
  process_ = call->info.hProcess;
  pid_ = static_cast<int>(call->info.dwProcessId);
  const intptr_t out = reinterpret_cast<intptr_t>(call->read_end);
  call->read_end = nullptr;  // now the reader's
  if (read_output) {
    reader_ = std::thread(&Service::ReadOutput, this, out);
  } else {
    unread_ = out;
  }
}

Service::~Service() {
  Kill();
  stop_reading_ = true;  // a child of the service may still hold the pipe open
  if (unread_ >= 0) CloseHandle(Handle(unread_));
  JoinReaders();
  if (process_ != nullptr) CloseHandle(process_);
}

// Reads until the pipe breaks (every writer gone), or until told to stop
// when nothing is left to read.
void Service::ReadOutput(intptr_t out) {
  HANDLE pipe = Handle(out);
  char buffer[4096];
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) break;
    if (available == 0) {
      if (stop_reading_) break;
      Sleep(5);
      continue;
    }
    DWORD n = 0;
    if (!ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) || n == 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    output_.append(buffer, n);
  }
  CloseHandle(pipe);
}

int Service::WaitForExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return exit_code_;
  if (WaitForSingleObject(process_, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  exit_code_ = GetExitCodeProcess(process_, &code) ? static_cast<int>(code) : -1;
  pid_ = -1;
  JoinReaders();
  return exit_code_;
}

void Service::ReadErrors(int) {}

std::string Service::Errors() { return testutil::ReadFile(errors_file_); }

void Service::Kill() {
  if (pid_ <= 0) return;
  TerminateProcess(process_, 137);
  // Bounded, so that a process that Wine fails to end shows as a failure with
  // its output rather than as a test that never ends.
  if (WaitForSingleObject(process_, 60000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the service did not end within 60 s of TerminateProcess";
  }
  pid_ = -1;
}

void Service::Signal(int) { ADD_FAILURE() << "no signals on Windows: the test must skip"; }

#else

Service::Service(const std::string& directory, const std::string& path_env, bool read_output,
                 const StartOptions& options) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  int err[2] = {-1, -1};
  const bool capture = options.capture_errors || options.journal_stream;
  if (capture && pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const std::string binary = ServiceBinary();
  const std::string path_variable = "PATH=" + path_env;
  std::vector<std::string> environment = {path_variable, "LANG=C"};
  if (const char* tz = getenv("TZ")) environment.push_back(std::string("TZ=") + tz);
  if (options.journal_stream) {
    struct stat st;
    if (fstat(err[1], &st) != 0) throw std::runtime_error("fstat failed");
    environment.push_back("JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" +
                          std::to_string(st.st_ino));
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<char*> argv = {const_cast<char*>(binary.c_str())};
  for (const std::string& argument : options.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
    pid_ = fork();
    if (pid_ >= 0) break;
    const int error = errno;
    fprintf(stderr, "start %d of %d of %s refused by the system (%s)%s\n", attempt,
            kStartAttempts, binary.c_str(), strerror(error),
            attempt < kStartAttempts ? ": trying again" : "");
    if (attempt < kStartAttempts) std::this_thread::sleep_for(kStartRetryPause);
  }
  if (pid_ < 0) {
    close(out[0]);
    close(out[1]);
    if (capture) {
      close(err[0]);
      close(err[1]);
    }
    throw std::runtime_error("cannot start " + binary);
  }
  if (pid_ == 0) {
    setpgid(0, 0);
    dup2(out[1], STDOUT_FILENO);
    if (capture) dup2(err[1], STDERR_FILENO);
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    if (chdir(directory.c_str()) != 0) _exit(126);
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  if (capture) {
    close(err[1]);
    error_reader_ = std::thread(&Service::ReadErrors, this, err[0]);
  }
  if (read_output) {
    reader_ = std::thread(&Service::ReadOutput, this, out[0]);
  } else {
    unread_ = out[0];
  }
}

Service::~Service() {
  Kill();
  if (unread_ >= 0) close(static_cast<int>(unread_));
  JoinReaders();
}

// Reads until every writer has gone, or until told to stop when nothing is
// left to read: a detached child of the service may hold the pipe for long.
void Service::ReadErrors(int fd) {
  char buffer[4096];
  for (;;) {
    struct pollfd pfd = {fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, 50);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) {
      if (stop_errors_) break;
      continue;
    }
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.append(buffer, n);
  }
  close(fd);
}

std::string Service::Errors() {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

void Service::ReadOutput(intptr_t out) {
  const int fd = static_cast<int>(out);
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    output_.append(buffer, n);
  }
  close(fd);
}

int Service::WaitForExit(std::chrono::milliseconds timeout) {
  testutil::WaitFor(
      [&] {
        int status;
        if (pid_ <= 0) return true;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return true;
      },
      timeout);
  if (pid_ > 0) return -1;
  JoinReaders();
  return exit_code_;
}

void Service::Kill() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void Service::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

#endif

void Service::JoinReaders() {
  if (reader_.joinable()) reader_.join();
  stop_errors_ = true;
  if (error_reader_.joinable()) error_reader_.join();
}

void Service::ResumeReading() {
  if (unread_ < 0) return;
  reader_ = std::thread(&Service::ReadOutput, this, unread_);
  unread_ = -1;
}

std::string Service::Output() {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

bool Service::WaitForOutput(const std::string& text, int count,
                            std::chrono::milliseconds timeout) {
  return WaitForProgress(
      [&] {
        std::string output = Output();
        size_t found = 0;
        for (size_t at = output.find(text); at != std::string::npos;
             at = output.find(text, at + 1)) {
          ++found;
        }
        return found;
      },
      count < 0 ? 0 : static_cast<size_t>(count), timeout);
}

ServiceTest::ServiceTest() {
  for (const char* sub : {"bin", "spool", "ack", "db", "ttslog", "svox"}) {
    testutil::MakeDirectory(Path(sub));
  }
  WriteAlarmIni("db/");
}

ServiceTest::~ServiceTest() {
  if (HasFailure()) Dump();
  service_.reset();
}

void ServiceTest::WriteIni(const std::map<std::string, std::string>& changes) {
  std::ostringstream ini;
  std::string section;
  for (const auto& row : kIniRows) {
    if (row[0] != section) {
      section = row[0];
      ini << "[" << section << "]\n";
    }
    auto change = changes.find(row[1]);
    if (row[2] == nullptr && change == changes.end()) continue;
    std::string value = row[2] == nullptr ? "" : row[2];
    if (change != changes.end()) {
      if (change->second.empty()) continue;
      value = change->second;
    }
    ini << row[1] << "=" << value << "\n";
  }
  testutil::WriteFile(Path("qza_wdir.ini"), ini.str());
}

void ServiceTest::WriteAlarmIni(const std::string& db_path) {
  testutil::WriteFile(Path("qzalarm.ini"), "[qzawrdb]\nDbPath=" + db_path + "\n");
}

Service& ServiceTest::Start(bool read_output, const StartOptions& options) {
  // Windows: cmd and the system's programs stay reachable.
  const std::string system_path =
      testutil::kWindows ? testutil::GetEnvironment("PATH") : "/usr/bin:/bin";
  service_ = std::make_unique<Service>(
      dir_.path(), Path("bin") + testutil::kPathListSeparator + system_path, read_output,
      options);
  return *service_;
}

void ServiceTest::Drop(const std::string& relative, const std::string& content) {
  const std::string temp = Path("drop.tmp");
  testutil::WriteFile(temp, content);
  ASSERT_EQ(rename(temp.c_str(), Path(relative).c_str()), 0) << relative;
}

void ServiceTest::AddFakeProgram(const std::string& name) {
  ASSERT_TRUE(testutil::MakeRecordingProgram(Path("bin"), name, Path("calls.log"))) << name;
}

std::vector<std::string> ServiceTest::Calls() {
  std::vector<std::string> calls;
  std::istringstream in(testutil::ReadFile(Path("calls.log")));
  std::string line;
  while (std::getline(in, line)) {
    if (line != "<missing>") calls.push_back(line);
  }
  return calls;
}

bool ServiceTest::WaitForCalls(size_t count, std::chrono::milliseconds timeout) {
  return WaitForProgress([&] { return Calls().size(); }, count, timeout);
}

void ServiceTest::Dump() {
  if (!testutil::kWindows) {
    const std::string command = "ls -laR " + dir_.path() + " >&2";
    if (system(command.c_str()) != 0) fprintf(stderr, "(listing failed)\n");
  } else {
    std::string listing;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(dir_.path(), error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      std::error_code size_error;
      const auto size = it->is_regular_file(size_error) ? it->file_size(size_error) : 0;
      listing += "  " + it->path().string() + " " + std::to_string(size) + "\n";
    }
    fprintf(stderr, "--- %s ---\n%s", dir_.path().c_str(), listing.c_str());
    fprintf(stderr, "--- service.err ---\n%s\n", testutil::ReadFile(Path("service.err")).c_str());
  }
  if (service_) fprintf(stderr, "--- service output ---\n%s\n---\n", service_->Output().c_str());
  if (service_ && !testutil::kWindows) {
    fprintf(stderr, "--- service errors ---\n%s\n---\n", service_->Errors().c_str());
  }
}

}  // namespace systemtest

}  // namespace qza
