#include "TestUtil.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qza {

namespace testutil {

#ifdef _WIN32
// Windows: the same helpers on Windows calls. A holder is a handle of this
// process, since Windows enforces sharing per handle, not per process.
TempDir::TempDir() {
  char base[MAX_PATH];
  const DWORD n = GetTempPathA(sizeof base, base);
  if (n == 0 || n >= sizeof base) throw std::runtime_error("GetTempPath failed");
  for (unsigned i = 0;; ++i) {
    std::string candidate = std::string(base) + "qza_test_" + std::to_string(GetCurrentProcessId()) +
                            "_" + std::to_string(GetTickCount64()) + "_" + std::to_string(i);
    if (CreateDirectoryA(candidate.c_str(), nullptr)) {
      for (char& c : candidate) {
        if (c == '\\') c = '/';
      }
      path_ = candidate;
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) throw std::runtime_error("CreateDirectory failed");
  }
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeExecutable(const std::string& path, const std::string& script) { WriteFile(path, script); }

FileHolder::FileHolder(const std::string& path, bool for_writing) {
  HANDLE handle = CreateFileA(path.c_str(), for_writing ? FILE_APPEND_DATA : GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error("holder could not open " + path);
  handle_ = handle;
}

FileHolder::~FileHolder() { Release(); }

void FileHolder::Release() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

bool ProcessAlive(int pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return false;
  const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return alive;
}

bool MakeDirectory(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

bool MakeSymlink(const std::string& target, const std::string& link) {
  const DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  return CreateSymbolicLinkA(link.c_str(), target.c_str(), flags) != 0;
}

bool MakeHardLink(const std::string& existing, const std::string& link) {
  return CreateHardLinkA(link.c_str(), existing.c_str(), nullptr) != 0;
}

bool MakeFifo(const std::string&) { return false; }

// FILETIME counts 100 ns units since 1601; the epoch is this many of them later.
constexpr long long kEpochAsFileTime = 116444736000000000LL;

bool SetModificationTime(const std::string& path, std::time_t when) {
  HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const unsigned long long ticks = static_cast<unsigned long long>(when) * 10000000ULL +
                                   kEpochAsFileTime;
  FILETIME time = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  const bool set = SetFileTime(file, nullptr, nullptr, &time) != 0;
  CloseHandle(file);
  return set;
}

long long ModificationTimeNanoseconds(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  const long long ticks =
      (static_cast<long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
      data.ftLastWriteTime.dwLowDateTime;
  return (ticks - kEpochAsFileTime) * 100;
}

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool IsSymlink(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

int FileMode(const std::string&) { return -1; }

namespace {
// The capture in progress: its file and the standard output it replaced.
std::string capture_path;
int saved_stdout = -1;
}  // namespace

void CaptureStdout() {
  char directory[MAX_PATH], file[MAX_PATH];
  const DWORD n = GetTempPathA(sizeof directory, directory);
  if (n == 0 || n >= sizeof directory || GetTempFileNameA(directory, "cap", 0, file) == 0) {
    throw std::runtime_error("no file for the captured output");
  }
  capture_path = file;
  std::fflush(stdout);
  const int fd = _open(file, _O_WRONLY | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) throw std::runtime_error("cannot open the file for the captured output");
  saved_stdout = _dup(1);
  _dup2(fd, 1);  // also makes the file the process's standard output handle
  _close(fd);
}

std::string GetCapturedStdout() {
  std::fflush(stdout);
  _dup2(saved_stdout, 1);
  _close(saved_stdout);
  saved_stdout = -1;
  const std::string output = ReadFile(capture_path);
  DeleteFileA(capture_path.c_str());
  return output;
}

std::string AbsolutePath(const std::string& path) {
  char full[MAX_PATH];
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  return n == 0 || n >= sizeof full ? path : std::string(full, n);
}

bool MakeRecordingProgram(const std::string& directory, const std::string& name,
                          const std::string& log) {
  const std::string recorder = AbsolutePath(TestProgram("recorder"));
  const std::string program = directory + "/" + name;
  const std::string extension = name.size() > 4 ? name.substr(name.size() - 4) : "";
  if (_stricmp(extension.c_str(), ".cmd") == 0 || _stricmp(extension.c_str(), ".bat") == 0) {
    // Under Wine, with hundreds of processes starting at once, cmd now and
    // then fails to start the recorder ("Can't recognize …", error level
    // 9009) and the call would go unrecorded; so the script tries again, up to
    // three times in all. (Wine's cmd runs the right side of "||" even after a
    // success, hence "if errorlevel".) A recorder that ran exits 0 or 120.
    const std::string call =
        "\"" + recorder + "\" --log \"" + AbsolutePath(log) + "\" --as " + name + " %*\r\n";
    WriteFile(program, "@" + call + "@if errorlevel 9009 " + call + "@if errorlevel 9009 " + call);
    return FileExists(program);
  }
  if (!CopyFileA(recorder.c_str(), program.c_str(), FALSE)) return false;
  WriteFile(program + ".record", AbsolutePath(log) + "\n");
  return true;
}

bool MakeProgram(const std::string& path, const std::string&, const std::string& steps) {
  const std::string stand_in = AbsolutePath(TestProgram("scripted_program"));
  if (!CopyFileA(stand_in.c_str(), path.c_str(), FALSE)) return false;
  WriteFile(path + ".do", steps);
  return FileExists(path + ".do");
}

bool RunningAsRoot() { return false; }

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void SetEnvironment(const std::string& name, const std::string& value) {
  _putenv_s(name.c_str(), value.c_str());
  SetEnvironmentVariableA(name.c_str(), value.c_str());
}

void UnsetEnvironment(const std::string& name) {
  _putenv_s(name.c_str(), "");
  SetEnvironmentVariableA(name.c_str(), nullptr);
}

std::tm LocalTime(std::time_t when) {
  std::tm local{};
  localtime_s(&local, &when);
  return local;
}

void KillProcess(int pid) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return;
  TerminateProcess(process, 137);
  CloseHandle(process);
}

int ProcessIdOf(long long handle) {
  return static_cast<int>(GetProcessId(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle))));
}
#else
TempDir::TempDir() {
  char templ[] = "/tmp/qza_test_XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}


#endif

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

#ifndef _WIN32
bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void MakeExecutable(const std::string& path, const std::string& script) {
  WriteFile(path, script);
  chmod(path.c_str(), 0755);
}

FileHolder::FileHolder(const std::string& path, bool for_writing) {
  int ready[2];
  if (pipe(ready) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(path.c_str(), for_writing ? O_WRONLY | O_APPEND : O_RDONLY);
    char byte = fd >= 0 ? '1' : '0';
    if (write(ready[1], &byte, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  if (read(ready[0], &byte, 1) != 1 || byte != '1') {
    close(ready[0]);
    throw std::runtime_error("holder could not open " + path);
  }
  close(ready[0]);
}

FileHolder::~FileHolder() { Release(); }

void FileHolder::Release() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool ProcessAlive(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return false;
  std::string line;
  std::getline(stat, line);
  size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

bool MakeDirectory(const std::string& path) { return mkdir(path.c_str(), 0755) == 0; }

bool MakeSymlink(const std::string& target, const std::string& link) {
  return symlink(target.c_str(), link.c_str()) == 0;
}

bool MakeHardLink(const std::string& existing, const std::string& link) {
  return ::link(existing.c_str(), link.c_str()) == 0;
}

bool MakeFifo(const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; }

bool SetModificationTime(const std::string& path, std::time_t when) {
  const struct timeval times[2] = {{when, 0}, {when, 0}};
  return utimes(path.c_str(), times) == 0;
}

long long ModificationTimeNanoseconds(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool IsSymlink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

int FileMode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

bool RunningAsRoot() { return geteuid() == 0; }

bool RunningUnderWine() { return false; }

bool MakeProgram(const std::string& path, const std::string& shell_script, const std::string&) {
  MakeExecutable(path, shell_script);
  return FileExists(path);
}

void CaptureStdout() { testing::internal::CaptureStdout(); }

std::string GetCapturedStdout() { return testing::internal::GetCapturedStdout(); }

std::string AbsolutePath(const std::string& path) {
  return path.empty() || path[0] == '/' ? path : std::filesystem::absolute(path).string();
}

bool MakeRecordingProgram(const std::string& directory, const std::string& name,
                          const std::string& log) {
  const std::string program = directory + "/" + name;
  MakeExecutable(program,
                 "#!/bin/sh\n"
                 "line='" + name + "'\n"
                 "for a in \"$@\"; do line=\"$line [$a]\"; done\n"
                 "printf '%s\\n' \"$line\" >> " + log + "\n");
  return FileExists(program);
}

void SetEnvironment(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

void UnsetEnvironment(const std::string& name) { unsetenv(name.c_str()); }

std::tm LocalTime(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return local;
}

void KillProcess(int pid) { kill(pid, SIGKILL); }

int ProcessIdOf(long long handle) { return static_cast<int>(handle); }
#endif

std::string GetEnvironment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value != nullptr ? value : "";
}

std::string TestProgram(const std::string& name) {
  return std::string(QZA_BINARY_DIR) + "/tests/" + name + kExecutableSuffix;
}

}  // namespace testutil

}  // namespace qza
