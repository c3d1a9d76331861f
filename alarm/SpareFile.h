// The message file of the next alarm, made ahead on a background thread.
//
// Creating a file can be the slowest step of an alarm: where many inodes were
// freed a moment before, the file system searches long for a new one. An
// unnamed file (platform::PreparedFile) made after each alarm takes that out
// of the next launch; made on a thread of its own, it also keeps the alarm
// after it from waiting, so a burst is not held to the allocator's pace on
// the one thread that launches. When no file is ready, the caller writes the
// usual way: nothing ever waits for the thread.
#ifndef QZA_ALARM_SPARE_FILE_H_
#define QZA_ALARM_SPARE_FILE_H_

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "platform/File.h"

class SpareFile {
 public:
  // The one spare of the process. It lives as long as the process, as the
  // thread that fills it does.
  static SpareFile& Instance();

  // Asks for an unnamed file in the directory named by the path text, unless
  // one is ready or on its way. Never waits. Once the file system has said
  // that it has no unnamed files, asks nothing more.
  void Request(const char* directory);
  // True when a file is ready.
  bool Ready();
  // Writes `size` bytes into the ready file and gives it the name the path
  // text names, as PreparedFile::Publish does. False with errno set (ENOENT
  // when no file is ready); the ready file is used up either way.
  bool Publish(const char* path, const void* data, size_t size);

 private:
  SpareFile() = default;
  static void ThreadMain(void* self);
  void Run();
  // Makes the wanted file in directory_ with `lock` (on mutex_) let go
  // meanwhile, and keeps it, or notes that none can be made here.
  void MakeWanted(std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable wanted_changed_;
  std::string directory_;                     // guarded by mutex_
  bool wanted_ = false;                       // guarded by mutex_: a request waits
  bool running_ = false;                      // guarded by mutex_
  bool unavailable_ = false;                  // guarded by mutex_: no unnamed files here
  std::unique_ptr<platform::PreparedFile> ready_;  // guarded by mutex_
};

#endif  // QZA_ALARM_SPARE_FILE_H_
