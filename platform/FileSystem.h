// File status, copies, access checks, deletion and renaming on path texts.
#ifndef QZA_PLATFORM_FILE_SYSTEM_H_
#define QZA_PLATFORM_FILE_SYSTEM_H_

#include <cstdint>
#include <string>
#include <tuple>

#include "platform/FileStatus.h"
#include "platform/Status.h"

namespace platform {

// What tells one file from another that later takes the same name: device,
// inode, size and modification time.
struct FileIdentity {
  uint64_t dev = 0;
  uint64_t ino = 0;
  int64_t size = 0;
  int64_t mtime = 0;
  auto Key() const { return std::tie(dev, ino, size, mtime); }
  bool operator<(const FileIdentity& other) const { return Key() < other.Key(); }
  bool operator==(const FileIdentity& other) const { return Key() == other.Key(); }
  // True when both name the same file, whatever its size and time now.
  bool SameFile(const FileIdentity& other) const { return dev == other.dev && ino == other.ino; }
};

// Fills `status` when the path names an existing file or directory; returns
// the failure of "stat" and leaves `status` alone otherwise.
Status StatPath(const char* path, FileStatus* status);

// Fills `status` from the open descriptor; returns the failure of "stat"
// (status untouched) when the platform fails.
Status StatDescriptor(int fd, FileStatus* status);

// The identity of a status record.
inline FileIdentity IdentityOfStatus(const FileStatus& status) {
  return {status.dev, status.ino, status.size, status.mtime};
}

// Fills `identity` from the path's status; false when the path names nothing.
inline bool IdentityOfPath(const char* path, FileIdentity* identity) {
  FileStatus status;
  if (!StatPath(path, &status).ok()) return false;
  *identity = IdentityOfStatus(status);
  return true;
}

// Fills `identity` from the entry at the path itself (a link in its last
// component is not followed); false when the path names nothing, or names
// anything but a regular file.
bool IdentityOfRegularEntry(const char* path, FileIdentity* identity);

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
// `from` must be a regular file reached without following a link. After a
// failure `to` is untouched.
Status CopyFileReplacing(const char* from, const char* to);

// Deletes a file (a symbolic link itself, never its target); the failure of
// "remove" otherwise.
Status RemoveFile(const char* path);
// Renames a file. Unlike POSIX rename, and like the Windows call, it never
// replaces an existing `to` (a dangling link at `to` counts as existing:
// EEXIST). The failure of "rename" otherwise.
Status RenameFile(const char* from, const char* to);

// The back end's part, one per system, under the calls above. The front
// (platform/FileSystem.cc) turns each path text into a native path and makes
// the fault checks once per call; these do the system's work on native paths
// and return as the calls above do.
namespace backend {
Status StatNative(const std::string& native, FileStatus* status);
bool IdentityOfRegularNative(const std::string& native, FileIdentity* identity);
bool NativeExists(const std::string& native);
bool NativeWritable(const std::string& native);
// Copies the regular file `source` (reached without following a link) into a
// new file beside `target`, closed; its native path in *temp. On failure no
// file is left. The front renames it over `target` (File.h's
// ReplaceByTemporary).
Status CopyToTemporary(const std::string& source, const std::string& target, std::string* temp);
// POSIX back end, shared by its copies: opens the regular file `native`
// read-only without following a link, its permission bits in *mode; or the
// failure of "open" (ENODEV: not a regular file).
Result<int> OpenCopySource(const std::string& native, unsigned* mode);
// POSIX back end: copies what remains of `in` to `out`; the failure of the
// read or the write that failed.
Status CopyDescriptor(int in, int out);
Status RemoveNative(const std::string& native);
// Renames without replacing an existing `target`.
Status RenameNoReplace(const std::string& source, const std::string& target);
}  // namespace backend

}  // namespace platform

#endif  // QZA_PLATFORM_FILE_SYSTEM_H_
