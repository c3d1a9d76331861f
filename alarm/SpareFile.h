// The message file of the next alarm, made ahead once an alarm is done.
//
// Creating a file can be the slowest step of an alarm: where many inodes were
// freed a moment before, the file system searches long for a new one. An
// unnamed file (platform::PreparedFile) made after each alarm, once it has
// been launched and recorded, takes that search out of the next launch, which
// only writes the file and names it. When no file is ready, the caller writes
// the usual way.
//
// The file is made by the thread that handles alarms, after the alarm. A
// thread of its own would also take the search out of a burst's pace, but
// waking it costs more CPU per alarm than a quick allocation itself, and where
// the allocator is slow the burst is held by CPU, not by waiting.
#ifndef QZA_ALARM_SPARE_FILE_H_
#define QZA_ALARM_SPARE_FILE_H_

#include <cstddef>

#include "platform/File.h"

namespace qza {

class SpareFile {
 public:
  // Makes an unnamed file in the directory named by the path text, unless one
  // is ready. Once the file system has said that it has no unnamed files,
  // tries no more. A failure is no error: the next alarm writes the usual way.
  void MakeAhead(const char* directory);
  // True when a file is ready.
  bool Ready() const { return file_.Prepared(); }
  // Writes `size` bytes into the ready file and gives it the name the path
  // text names, as PreparedFile::Publish does (ENOENT when no file is
  // ready); the ready file is used up either way.
  platform::Status Publish(const char* path, const void* data, size_t size);

 private:
  bool unavailable_ = false;  // the file system makes no unnamed files
  platform::PreparedFile file_;
};

}  // namespace qza

#endif  // QZA_ALARM_SPARE_FILE_H_
