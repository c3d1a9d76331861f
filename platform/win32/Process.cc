// Child processes on Windows.
//
// The command line is split by the Windows rules, as on every platform, and
// the program is looked for beside the running executable, in the working
// directory, then along PATH (a name without an extension is also tried with
// ".exe"). Windows itself would start a .CMD found only beside the
// executable as cmd's "not found" (exit 9009), so the full path is always
// resolved here and handed over.
//
// A program is started from a command line rebuilt from the words, so that it
// receives exactly the words it receives on Linux. A .CMD or .BAT file is run
// by cmd, whose parser would see the command line: see BatchArgument for how
// no word can reach cmd as a command, a redirection or a variable.
//
// A child inherits its standard handles and nothing else of the service.
// Every child starts in a job object of its own (kill-on-close only until the
// service has accepted the start, so a detached child outlives the service):
// killing it ends the scripts and programs it started too. Its standard
// input is NUL; its standard output and error are the caller's standard
// error, so it never writes into the account of events. A Child holds the
// process handle as its native value and the process id for messages.
#include "platform/Process.h"

#include <errno.h>

#include <cctype>
#include <cstring>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "platform/Fault.h"
#include "platform/Path.h"
#include "platform/Thread.h"
#include "platform/win32/Win32.h"

namespace platform {
namespace {

// The directory of the running executable, with a trailing separator.
const std::string& ExecutableDirectory() {
  static const std::string directory = [] {
    char buffer[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return std::string();
    std::string path(buffer, n);
    return path.substr(0, path.find_last_of("\\/") + 1);
  }();
  return directory;
}

// 0 when `path` names a file (not a directory); else ENOENT or EACCES.
int ProgramFileError(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return ENOENT;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? EACCES : 0;
}

bool HasExtension(const std::string& word) {
  const size_t dot = word.rfind('.');
  return dot != std::string::npos && word.find_first_of("\\/", dot) == std::string::npos;
}

}  // namespace

Result<std::string> FindProgram(const std::string& word) {
  if (word.empty()) return Status::Failure("start", ENOENT);
  std::vector<std::string> candidates;
  auto add = [&](const std::string& base) {
    candidates.push_back(base);
    if (!HasExtension(word)) candidates.push_back(base + ".exe");
  };
  if (word.find_first_of("\\/") != std::string::npos || (word.size() > 1 && word[1] == ':')) {
    add(NativePath(word.c_str()));
  } else {
    add(ExecutableDirectory() + word);
    add(word);
    const char* path = getenv("PATH");
    for (const char* p = path; p != nullptr; ++p) {
      const char* end = std::strchr(p, ';');
      std::string directory = end ? std::string(p, end - p) : std::string(p);
      if (!directory.empty()) {
        if (directory.back() != '\\' && directory.back() != '/') directory += '\\';
        add(directory + word);
      }
      if (end == nullptr) break;
      p = end;
    }
  }
  bool refused = false;
  for (const std::string& candidate : candidates) {
    const int candidate_error = ProgramFileError(candidate);
    if (candidate_error == EACCES) refused = true;
    if (candidate_error != 0) continue;
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(win32::BackslashPath(candidate).c_str(), sizeof full, full,
                                     nullptr);
    if (n == 0) return backend::LastFailure("start");
    if (n >= sizeof full) return Status::Failure("start", ENAMETOOLONG);
    return std::string(full);
  }
  return Status::Failure("start", refused ? EACCES : ENOENT);
}

namespace {

bool IsBatchFile(const std::string& program) {
  const size_t dot = program.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string extension = program.substr(dot);
  return _stricmp(extension.c_str(), ".cmd") == 0 || _stricmp(extension.c_str(), ".bat") == 0;
}

// Appends one word for a program that splits its command line by the rules
// of CommandLineToArgvW (and the C run-time): quoted when it is empty or holds
// a blank, tab or quote; a quote is escaped with a backslash, and backslashes
// before a quote (or the closing quote) are doubled.
void AppendProgramArgument(const std::string& word, std::string* line) {
  if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) {
    *line += word;
    return;
  }
  *line += '"';
  size_t backslashes = 0;
  for (char c : word) {
    if (c == '\\') {
      ++backslashes;
    } else {
      if (c == '"') line->append(backslashes + 1, '\\');
      backslashes = 0;
    }
    *line += c;
  }
  line->append(backslashes, '\\');
  *line += '"';
}

// Appends one word for a batch file, which cmd parses before the script sees
// it. The rule, after the escaping that Rust's standard library adopted in
// 2024 for the same problem:
// - A word of ASCII letters, digits and `#$*+-./:?@\_` only (or any
//   non-ASCII text) goes as it is: the script gets the same %1 as before.
// - Any other word is put in double quotes. cmd does not act on `&`, `|`,
//   `<`, `>`, `^`, `(` or `)` inside quotes, so such a character stays text.
//   A quote inside the word is doubled (`""`): cmd's quote state flips twice,
//   so the rest of the word is still inside quotes; backslashes before a
//   quote are doubled for programs the script hands the word to.
// - Every `%` is written as `%%cd:~,%`: cmd expands `%cd:~,%` to an empty
//   substring of the current directory, so no `%NAME%` in a word can be
//   expanded (delayed `!` expansion is off: /v:off).
// - A word with a line break, carriage return or NUL cannot be passed: cmd
//   would end the command there. It is refused with EINVAL, never cut short.
bool AppendBatchArgument(const std::string& word, std::string* line) {
  static const char kPlain[] = "#$*+-./:?@\\_";
  if (word.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
  bool quote = word.empty() || word.back() == '\\';
  for (char c : word) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x80 && !std::isalnum(u) && std::strchr(kPlain, c) == nullptr) quote = true;
  }
  if (quote) *line += '"';
  size_t backslashes = 0;
  for (char c : word) {
    if (c == '\\') {
      ++backslashes;
    } else {
      if (c == '"') {
        line->append(backslashes, '\\');
        *line += '"';
      } else if (c == '%') {
        *line += "%%cd:~,";
      }
      backslashes = 0;
    }
    *line += c;
  }
  if (quote) {
    line->append(backslashes, '\\');
    *line += '"';
  }
  return true;
}

// The full path of cmd.exe.
std::string CommandInterpreter() {
  const char* comspec = getenv("COMSPEC");
  if (comspec != nullptr && *comspec != '\0') return comspec;
  char system[MAX_PATH];
  const UINT n = GetSystemDirectoryA(system, sizeof system);
  return (n > 0 && n < sizeof system ? std::string(system) : std::string("C:\\Windows\\System32")) +
         "\\cmd.exe";
}

// The application and command line that start `program` with `words`.
// Fails with EINVAL when a word cannot be passed to a batch file.
Status BuildCommandLine(const std::string& program, const std::vector<std::string>& words,
                        std::string* application, std::string* line) {
  if (IsBatchFile(program)) {
    *application = CommandInterpreter();
    // /s: cmd drops the first and the last quote of what follows /c and runs
    // the rest as it stands.
    *line = "cmd.exe /d /e:on /v:off /s /c \"\"" + program + "\"";
    for (size_t i = 1; i < words.size(); ++i) {
      *line += ' ';
      if (!AppendBatchArgument(words[i], line)) return Status::Failure("start", EINVAL);
    }
    *line += '"';
    return Status();
  }
  *application = program;
  line->clear();
  AppendProgramArgument(program, line);
  for (size_t i = 1; i < words.size(); ++i) {
    *line += ' ';
    AppendProgramArgument(words[i], line);
  }
  return Status();
}

// An inheritable handle on NUL or a copy of the caller's standard error, for
// the child's standard handles; null when neither can be had.
HANDLE InheritableOutput() {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  HANDLE copy = nullptr;
  if (error != nullptr && error != INVALID_HANDLE_VALUE &&
      DuplicateHandle(GetCurrentProcess(), error, GetCurrentProcess(), &copy, 0, TRUE,
                      DUPLICATE_SAME_ACCESS)) {
    return copy;
  }
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  copy = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     OPEN_EXISTING, 0, nullptr);
  return copy == INVALID_HANDLE_VALUE ? nullptr : copy;
}

#ifndef PROC_THREAD_ATTRIBUTE_JOB_LIST  // declared for Windows 10 and later only
#define PROC_THREAD_ATTRIBUTE_JOB_LIST ProcThreadAttributeValue(13, FALSE, TRUE, FALSE)
#endif

// What a child is started with besides its command line:
// - the handles it inherits, its standard handles alone. Without such a list,
//   CreateProcess hands the child every inheritable handle of the service,
//   among them the service's own standard output (the pipe of its account),
//   which would then stay open for as long as the child runs;
// - the job it starts in (Windows 10 and later; before, the child joins it
//   while it is still suspended).
class ChildAttributes {
 public:
  ChildAttributes(HANDLE first, HANDLE second, HANDLE job) : job_(job) {
    if (first != nullptr) handles_[count_++] = first;
    if (second != nullptr && second != first) handles_[count_++] = second;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 2, 0, &size);  // fails, telling the size
    buffer_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (size == 0 || !InitializeProcThreadAttributeList(list, 2, 0, &size)) return;
    list_ = list;
    if (count_ > 0) {
      UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_,
                                count_ * sizeof(HANDLE), nullptr, nullptr);
    }
    // Refused before Windows 10: the caller then joins the job itself.
    in_job_ = job_ != nullptr && UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST,
                                                           &job_, sizeof job_, nullptr, nullptr);
  }
  ~ChildAttributes() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  ChildAttributes(const ChildAttributes&) = delete;
  ChildAttributes& operator=(const ChildAttributes&) = delete;
  // The attribute list; null when it could not be made (the child then
  // inherits every inheritable handle, as CreateProcess does by itself).
  LPPROC_THREAD_ATTRIBUTE_LIST list() const { return list_; }
  // True when the child starts in the job.
  bool StartsInJob() const { return in_job_; }

 private:
  HANDLE handles_[2] = {};
  size_t count_ = 0;
  HANDLE job_;
  bool in_job_ = false;
  std::vector<char> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// The job object of each child that is still held (by its process handle).
std::mutex jobs_mutex;
std::map<HANDLE, HANDLE> jobs;  // guarded by jobs_mutex

// Forgets the child: closes its process handle and its job (which leaves the
// processes in it running).
void Release(HANDLE process) {
  HANDLE job = nullptr;
  {
    std::lock_guard<std::mutex> lock(jobs_mutex);
    auto found = jobs.find(process);
    if (found != jobs.end()) {
      job = found->second;
      jobs.erase(found);
    }
  }
  if (job != nullptr) CloseHandle(job);
  CloseHandle(process);
}

HANDLE ProcessOf(intptr_t native) { return reinterpret_cast<HANDLE>(native); }

// A start that the system is asked for on a thread of its own, so that the
// caller can give it up: Wine has been seen to keep CreateProcess waiting for
// good on a new process that never finished its start, and the service must
// go on with its other files. The child is always created suspended, in a job
// that kills it when the job's last handle closes; only once the caller has
// accepted it does the job let it outlive the service and its thread resume.
// A child whose start came back after the caller had given up is ended before
// it has run, so a start reported as failed never runs late.
struct StartAttempt {
  enum class State { kAsking, kAnswered, kAbandoned };

  std::string application, line, directory;
  HANDLE input = nullptr;
  HANDLE output = nullptr;
  HANDLE job = nullptr;
  DWORD flags = 0;
  uint32_t hold_milliseconds = 0;

  std::mutex mutex;
  std::condition_variable answered;
  State state = State::kAsking;  // guarded by mutex
  BOOL started = FALSE;  // these four set before kAnswered
  bool starts_in_job = false;
  DWORD code = 0;
  PROCESS_INFORMATION info{};

  ~StartAttempt() {
    if (input != nullptr) CloseHandle(input);
    if (output != nullptr) CloseHandle(output);
    if (job != nullptr) CloseHandle(job);
  }
};

std::atomic<uint32_t> start_limit_milliseconds{kStartLimitMilliseconds};
std::atomic<uint32_t> start_hold_milliseconds{0};
// Starts given up whose system call has not come back yet.
std::atomic<int> stalled_starts{0};
// Past this many stalled starts the system is not asked again until one of
// them comes back: each holds a thread.
constexpr int kMaxStalledStarts = 4;

// Ends a child that nobody accepted, before it has run.
void EndUnaccepted(const PROCESS_INFORMATION& info) {
  TerminateProcess(info.hProcess, 1);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
}

// The thread that asks the system: creates the child and hands it over, or
// ends it when the caller has given up meanwhile.
void AskForStart(void* argument) {
  std::shared_ptr<StartAttempt> attempt(*static_cast<std::shared_ptr<StartAttempt>*>(argument));
  delete static_cast<std::shared_ptr<StartAttempt>*>(argument);
  if (attempt->hold_milliseconds > 0) Sleep(attempt->hold_milliseconds);
  STARTUPINFOEXA startup_ex{};
  STARTUPINFOA& startup = startup_ex.StartupInfo;
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = attempt->input;
  startup.hStdOutput = attempt->output;
  startup.hStdError = attempt->output;
  const ChildAttributes attributes(attempt->input, attempt->output, attempt->job);
  DWORD flags = attempt->flags;
  if (attributes.list() != nullptr) {
    startup.cb = sizeof startup_ex;
    startup_ex.lpAttributeList = attributes.list();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessA(
      attempt->application.c_str(), attempt->line.data(), nullptr, nullptr, TRUE, flags, nullptr,
      attempt->directory.empty() ? nullptr : attempt->directory.c_str(), &startup, &info);
  const DWORD code = GetLastError();
  std::lock_guard<std::mutex> lock(attempt->mutex);
  if (attempt->state == StartAttempt::State::kAbandoned) {
    if (started) EndUnaccepted(info);
    --stalled_starts;
    return;
  }
  attempt->started = started;
  attempt->starts_in_job = attributes.StartsInJob();
  attempt->code = code;
  attempt->info = info;
  attempt->state = StartAttempt::State::kAnswered;
  attempt->answered.notify_one();
}

// A job that ends its processes when its last handle closes: a child
// created suspended in it never lingers when the service dies before it has
// accepted the child. Null when no job can be had.
HANDLE NewKillingJob() {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  return job;
}

// Lets the processes of an accepted child's job outlive the service.
void LetJobOutliveService(HANDLE job) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

// Waits for the start's answer, at most the start limit. False when the
// caller gives the start up (the asking thread ends the child if it comes).
bool AwaitStart(StartAttempt& attempt) {
  std::unique_lock<std::mutex> lock(attempt.mutex);
  const auto limit = std::chrono::milliseconds(start_limit_milliseconds.load());
  if (attempt.answered.wait_for(lock, limit, [&] {
        return attempt.state == StartAttempt::State::kAnswered;
      })) {
    return true;
  }
  attempt.state = StartAttempt::State::kAbandoned;
  ++stalled_starts;
  return false;
}

}  // namespace

namespace backend {

Result<Child> SpawnProgram(const std::string& program, std::vector<std::string> words,
                           const SpawnOptions& options) {
  if (stalled_starts.load() >= kMaxStalledStarts) {
    // The system has not answered the last starts yet.
    return Status::Failure("start", EAGAIN);
  }
  auto attempt = std::make_shared<StartAttempt>();
  const Status built = BuildCommandLine(program, words, &attempt->application, &attempt->line);
  if (!built.ok()) return built;
  if (options.working_directory != nullptr) {
    attempt->directory = win32::BackslashPath(NativeDirectory(options.working_directory));
  }
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  attempt->input = input == INVALID_HANDLE_VALUE ? nullptr : input;
  attempt->output = InheritableOutput();
  attempt->flags = CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED;
  if (options.new_session) attempt->flags |= CREATE_NO_WINDOW;  // a console of its own, never shown
  // Without a job (nested jobs refused on old systems) the child still runs;
  // a kill then ends it alone.
  attempt->job = NewKillingJob();
  attempt->hold_milliseconds = start_hold_milliseconds.load();
  auto* handed = new std::shared_ptr<StartAttempt>(attempt);
  if (!StartDetachedThread(AskForStart, handed).ok()) {
    delete handed;
    return Status::Failure("start", EAGAIN);
  }
  if (!AwaitStart(*attempt)) return Status::Failure("start", ETIMEDOUT);
  if (!attempt->started) {
    // The code was taken on the asking thread, right after CreateProcess.
    return Status::Failure("start", win32::ErrnoFromError(attempt->code));
  }
  const PROCESS_INFORMATION& info = attempt->info;
  HANDLE job = attempt->job;
  attempt->job = nullptr;  // the child's now, or closed below
  // Before Windows 10 the child joins its job while it is suspended.
  if (job != nullptr && !attempt->starts_in_job && !AssignProcessToJobObject(job, info.hProcess)) {
    CloseHandle(job);
    job = nullptr;
  }
  // The job lets go before the thread runs: a service that dies in between
  // leaves a child that never ran, never one that was cut short.
  if (job != nullptr) LetJobOutliveService(job);
  if (ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
    const Status failure = LastFailure("start");
    EndUnaccepted(info);
    if (job != nullptr) CloseHandle(job);
    return failure;
  }
  CloseHandle(info.hThread);
  if (job != nullptr) {
    std::lock_guard<std::mutex> lock(jobs_mutex);
    jobs[info.hProcess] = job;
  }
  return Child::FromNative(info.dwProcessId, reinterpret_cast<intptr_t>(info.hProcess));
}

Result<bool> ChildEnded(intptr_t native, unsigned* exit_status) {
  HANDLE process = ProcessOf(native);
  const DWORD state = WaitForSingleObject(process, 0);
  if (state == WAIT_TIMEOUT) return false;
  Result<bool> ended = true;
  DWORD code = 0;
  if (state != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code)) {
    ended = LastFailure("wait");
  } else {
    *exit_status = code;
  }
  Release(process);
  return ended;
}

Status KillChild(intptr_t native) {
  HANDLE process = ProcessOf(native);
  HANDLE job = nullptr;
  {
    std::lock_guard<std::mutex> lock(jobs_mutex);
    auto found = jobs.find(process);
    if (found != jobs.end()) job = found->second;
  }
  Status killed;
  if ((job == nullptr || !TerminateJobObject(job, 1)) && !TerminateProcess(process, 1)) {
    killed = LastFailure("kill");
  }
  if (WaitForSingleObject(process, INFINITE) == WAIT_FAILED && killed.ok()) {
    killed = LastFailure("wait");
  }
  Release(process);
  return killed;
}

// The system keeps no zombies: closing the handles lets the child run on.
void DetachChild(intptr_t native) { Release(ProcessOf(native)); }

}  // namespace backend

int StalledStarts() { return stalled_starts.load(); }

void SetStartLimitForTests(uint32_t limit_milliseconds, uint32_t hold_milliseconds) {
  start_limit_milliseconds = limit_milliseconds == 0 ? kStartLimitMilliseconds : limit_milliseconds;
  start_hold_milliseconds = hold_milliseconds;
}

}  // namespace platform
