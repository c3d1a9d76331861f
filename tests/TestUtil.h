// Small helpers shared by the tests: temporary directories, whole-file reads
// and writes, and waiting for a condition with a deadline.
#ifndef QZA_TESTS_TEST_UTIL_H_
#define QZA_TESTS_TEST_UTIL_H_

#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <thread>

namespace qza {

namespace testutil {

#ifdef _WIN32
inline constexpr bool kWindows = true;
// Separates the directories of PATH.
inline constexpr char kPathListSeparator[] = ";";
// The suffix of an executable program's file name.
inline constexpr char kExecutableSuffix[] = ".exe";
#else
inline constexpr bool kWindows = false;
inline constexpr char kPathListSeparator[] = ":";
inline constexpr char kExecutableSuffix[] = "";
#endif

// A fresh directory under /tmp, removed with its content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);
// The whole file, or "<missing>" when it cannot be read.
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
void MakeExecutable(const std::string& path, const std::string& script);

// File-system set-up that both platforms offer in their own calls. Each
// returns true on success.
bool MakeDirectory(const std::string& path);
// A symbolic link at `link` to `target`; on Windows only where the system
// lets this process create one.
bool MakeSymlink(const std::string& target, const std::string& link);
// A second name for an existing file.
bool MakeHardLink(const std::string& existing, const std::string& link);
// A FIFO; Windows has none, and there this always fails.
bool MakeFifo(const std::string& path);
// Sets the file's modification time (seconds since the epoch).
bool SetModificationTime(const std::string& path, std::time_t when);
// The file's modification time in nanoseconds since the epoch; -1 when the
// file cannot be examined.
long long ModificationTimeNanoseconds(const std::string& path);
bool RemoveFile(const std::string& path);
// True when the path is a symbolic link (not followed).
bool IsSymlink(const std::string& path);
// The permission bits of the file (07777), or -1 when it cannot be examined.
// Windows keeps no such bits: there it is always -1.
int FileMode(const std::string& path);
// True when this Windows program runs under Wine (never on Linux).
bool RunningUnderWine();
// True when this process runs as root (never on Windows).
bool RunningAsRoot();
// The environment of this process; an empty value is kept as a value.
void SetEnvironment(const std::string& name, const std::string& value);
void UnsetEnvironment(const std::string& name);
// The value, or empty when the variable is not set.
std::string GetEnvironment(const std::string& name);
// A test program of the build tree (tests/<name> with the platform's
// executable suffix).
std::string TestProgram(const std::string& name);
// A fake installation program `name` in `directory` that appends one line
// "NAME [arg1] [arg2]…" per call to `log`. Linux: a shell script. Windows: a
// .CMD or .BAT that calls tests/recorder.exe, or for any other name a copy of
// the recorder. Returns false when it cannot be made.
bool MakeRecordingProgram(const std::string& directory, const std::string& name,
                          const std::string& log);
// A program at `path` that stands in for one of the installation: on Linux
// the shell script `shell_script`; on Windows a copy of
// tests/scripted_program.exe that carries out `steps` (see
// helpers/scripted_program.cc). Returns false when it cannot be made.
bool MakeProgram(const std::string& path, const std::string& shell_script,
                 const std::string& steps);
// A native absolute path for a path that this process can reach: on Windows
// a build tree's "/work/..." becomes "Z:\work\...", valid from any drive.
std::string AbsolutePath(const std::string& path);
// Local broken-down time of `when`.
std::tm LocalTime(std::time_t when);

// Collects what this process writes to standard output from now on, byte for
// byte ("\r\n" stays "\r\n" on Windows too, where GoogleTest's own capture
// reads the text back in text mode), until GetCapturedStdout hands it over.
void CaptureStdout();
std::string GetCapturedStdout();

// Polls `condition` every 10 ms until it holds or `timeout` passes.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A process that holds `path` open (for reading, or for writing when
// `for_writing`) until it is destroyed.
class FileHolder {
 public:
  FileHolder(const std::string& path, bool for_writing);
  ~FileHolder();
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;
  // Ends the holder; the file is closed afterwards.
  void Release();

 private:
  int pid_ = -1;
#ifdef _WIN32
  void* handle_ = nullptr;  // Windows: this process holds the file (sharing is per handle)
#endif
};

// True when the process exists and is not a zombie.
bool ProcessAlive(int pid);
// Ends the process with that id at once (SIGKILL, TerminateProcess).
void KillProcess(int pid);
// The process id behind what CProcess::ProcessHandle returns: the pid itself
// on Linux, the id of the process handle on Windows (call it while the
// handle is still held).
int ProcessIdOf(long long handle);

}  // namespace testutil

}  // namespace qza

#endif  // QZA_TESTS_TEST_UTIL_H_
