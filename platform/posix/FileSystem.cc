#include "platform/FileSystem.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <string>

#include "platform/Fault.h"
#include "platform/FileSystemKind.h"
#include "platform/File.h"
#include "platform/Path.h"

namespace platform {
namespace {

FileStatus StatusOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), st.st_mode,
          static_cast<uint64_t>(st.st_nlink), st.st_uid, st.st_gid,
          static_cast<uint64_t>(st.st_rdev), st.st_size, st.st_atime, st.st_mtime,
          st.st_ctime};
}

}  // namespace

bool IdentityOfRegularEntry(const char* path, FileIdentity* identity) {
  std::string native = NativePath(path);
  struct stat st;
  if (native.empty() || lstat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *identity = IdentityOfStatus(StatusOf(st));
  return true;
}

int StatPath(const char* path, FileStatus* status) {
  std::string native = NativePath(path);
  struct stat st;
  if (native.empty()) errno = ENOENT;
  if (native.empty() || stat(native.c_str(), &st) != 0) return -1;
  *status = StatusOf(st);
  return 0;
}

int StatDescriptor(int fd, FileStatus* status) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  *status = StatusOf(st);
  return 0;
}

bool PathExists(const char* path) {
  std::string native = NativePath(path);
  struct stat st;
  return !native.empty() && fstatat(AT_FDCWD, native.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool PathWritable(const char* path) {
  std::string native = NativePath(path);
  struct stat st;
  if (native.empty()) errno = ENOENT;
  if (native.empty() || stat(native.c_str(), &st) != 0) return false;
  return (st.st_mode & 0222) != 0 && access(native.c_str(), W_OK) == 0;
}

bool CopyFileReplacing(const char* from, const char* to) {
  std::string source;
  std::string target;
  if (!NativePathOf(from, &source) || !NativePathOf(to, &target)) return false;
  if (FaultInjected(FaultPoint::kOpen, to)) return false;
  int in = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (in < 0) return false;
  struct stat st;
  const bool stated = fstat(in, &st) == 0;
  if (!stated || !S_ISREG(st.st_mode)) {
    const int error = stated ? ENODEV : errno;
    close(in);  // read-only: nothing to lose
    errno = error;
    return false;
  }
  std::string temp = target + ".XXXXXX";
  int out = mkostemp(temp.data(), O_CLOEXEC);
  bool ok = out >= 0 && fchmod(out, st.st_mode & 0777) == 0;
  char chunk[65536];
  while (ok) {
    ssize_t n = read(in, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = FileWrite(out, chunk, static_cast<size_t>(n)) == n;
  }
  int saved = errno;
  close(in);  // read-only: nothing to lose
  if (out < 0) {
    errno = saved;
    return false;
  }
  if (ok) {
    ok = FileClose(out);
  } else {
    close(out);
  }
  if (ok && !FaultInjected(FaultPoint::kRename, to) && rename(temp.c_str(), target.c_str()) == 0)
    return true;
  saved = errno;
  unlink(temp.c_str());  // the failed copy leaves nothing behind
  errno = saved;
  return false;
}

bool RemoveFile(const char* path) {
  std::string native;
  if (!NativePathFor(FaultPoint::kUnlink, path, &native)) return false;
  return unlink(native.c_str()) == 0;
}

bool RenameFile(const char* from, const char* to) {
  std::string source;
  std::string target;
  if (!NativePathOf(from, &source) || !NativePathOf(to, &target)) return false;
  if (FaultInjected(FaultPoint::kRename, from)) return false;
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without RENAME_NOREPLACE: link fails when `to` exists.
  if (link(source.c_str(), target.c_str()) != 0) return false;
  if (unlink(source.c_str()) == 0) return true;
  const int saved = errno;
  unlink(target.c_str());  // undo: the file keeps its old name only
  errno = saved;
  return false;
}

const char* RemoteFileSystemOf(const char* directory) {
  struct statfs info;
  const std::string native = NativeDirectory(directory);
  if (statfs(native.c_str(), &info) != 0) return nullptr;
  return RemoteFileSystemName(static_cast<uint64_t>(static_cast<uint32_t>(info.f_type)));
}


}  // namespace platform
