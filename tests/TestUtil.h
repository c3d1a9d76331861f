// Small helpers shared by the tests: temporary directories, whole-file reads
// and writes, and waiting for a condition with a deadline.
#ifndef QZA_TESTS_TEST_UTIL_H_
#define QZA_TESTS_TEST_UTIL_H_

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace testutil {

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

}  // namespace testutil

#endif  // QZA_TESTS_TEST_UTIL_H_
