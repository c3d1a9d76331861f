// The file status record, as the run-time library's stat fills it.
//
// It is installed with the support library, whose CFileStat hands it out as
// CFileStat::Record, so it holds the record and nothing else.
#ifndef QZA_PLATFORM_FILE_STATUS_H_
#define QZA_PLATFORM_FILE_STATUS_H_

#include <cstdint>

namespace platform {

// After a failed status query every field is 0.
struct FileStatus {
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint32_t mode = 0;
  uint64_t nlink = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint64_t rdev = 0;
  int64_t size = 0;
  int64_t atime = 0;
  int64_t mtime = 0;
  int64_t ctime = 0;
};

}  // namespace platform

#endif  // QZA_PLATFORM_FILE_STATUS_H_
