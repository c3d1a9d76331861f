// File status, copies, access checks, deletion and renaming on path texts.
#ifndef QZA_PLATFORM_FILE_SYSTEM_H_
#define QZA_PLATFORM_FILE_SYSTEM_H_

#include <cstdint>

namespace platform {

// The fields of the run-time library's file status record.
struct FileStatus {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint32_t mode = 0;
  uint64_t link_count = 0;
  uint32_t owner = 0;
  uint32_t group = 0;
  uint64_t special_device = 0;
  int64_t size = 0;
  int64_t access_time = 0;
  int64_t modification_time = 0;
  int64_t change_time = 0;
};

// Fills `status` and returns 0 when the path names an existing file or
// directory; returns -1 and leaves `status` alone otherwise.
int StatPath(const char* path, FileStatus* status);

// True when the path names something that exists. A symbolic link in the last
// component is not followed: a link counts as existing, dangling or not.
bool PathExists(const char* path);
// True when the path names a file that may be written. A file without any
// write permission bit counts as read-only even for root, as the read-only
// attribute does on Windows; a missing file is not writable.
bool PathWritable(const char* path);

// Copies `from` to `to`, replacing an existing `to`. The copy is written to a
// new file beside `to` and renamed over it, so readers of `to` see the old or
// the new file whole, and a symbolic link at `to` is replaced, not followed.
// `from` must be a regular file reached without following a link. Returns
// true on success; false with errno set, `to` untouched.
bool CopyFileReplacing(const char* from, const char* to);

// Deletes a file (a symbolic link itself, never its target); true on
// success, false with errno set.
bool RemoveFile(const char* path);
// Renames a file. Unlike POSIX rename, and like the Windows call, it never
// replaces an existing `to` (a dangling link at `to` counts as existing).
// True on success, false with errno set.
bool RenameFile(const char* from, const char* to);

}  // namespace platform

#endif  // QZA_PLATFORM_FILE_SYSTEM_H_
