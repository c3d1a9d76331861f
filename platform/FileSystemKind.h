// What kind of file system holds a directory.
//
// inotify sees only the changes that this machine's kernel makes. On a file
// system that other machines write too (NFS, SMB/CIFS, FUSE mounts and other
// network or cluster file systems), their changes are never notified, so the
// service must also look for itself from time to time.
#ifndef QZA_PLATFORM_FILE_SYSTEM_KIND_H_
#define QZA_PLATFORM_FILE_SYSTEM_KIND_H_

#include <cstdint>
#include <string>

namespace platform {

// The name of a file system type (statfs f_type) whose changes other machines
// may make unseen, such as "nfs" or "cifs"; null for a local file system.
const char* RemoteFileSystemName(uint64_t type);

// RemoteFileSystemName of the file system holding the directory named by the
// path text; null when it is local or cannot be told.
const char* RemoteFileSystemOf(const char* directory);

// The back end's part: RemoteFileSystemOf for the native directory, one per
// system (platform/posix/FileSystemKind.cc, platform/win32/FileSystemKind.cc).
namespace backend {
const char* RemoteFileSystemOfNative(const std::string& native_directory);
}  // namespace backend

}  // namespace platform

#endif  // QZA_PLATFORM_FILE_SYSTEM_KIND_H_
