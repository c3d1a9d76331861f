// File status, copies, deletion and renaming on POSIX systems.
#include "platform/FileSystem.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/File.h"

namespace platform {
namespace {

FileStatus StatusOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), st.st_mode,
          static_cast<uint64_t>(st.st_nlink), st.st_uid, st.st_gid,
          static_cast<uint64_t>(st.st_rdev), st.st_size, st.st_atime, st.st_mtime,
          st.st_ctime};
}

}  // namespace

int StatDescriptor(int fd, FileStatus* status) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  *status = StatusOf(st);
  return 0;
}

namespace backend {

bool IdentityOfRegularNative(const std::string& native, FileIdentity* identity) {
  struct stat st;
  if (lstat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *identity = IdentityOfStatus(StatusOf(st));
  return true;
}

int StatNative(const std::string& native, FileStatus* status) {
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return -1;
  *status = StatusOf(st);
  return 0;
}

bool NativeExists(const std::string& native) {
  struct stat st;
  return fstatat(AT_FDCWD, native.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool NativeWritable(const std::string& native) {
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return false;
  return (st.st_mode & 0222) != 0 && access(native.c_str(), W_OK) == 0;
}

int OpenCopySource(const std::string& native, unsigned* mode) {
  const int in = open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (in < 0) return -1;
  struct stat st;
  const bool stated = fstat(in, &st) == 0;
  if (!stated || !S_ISREG(st.st_mode)) {
    const int error = stated ? ENODEV : errno;
    close(in);  // read-only: nothing to lose
    errno = error;
    return -1;
  }
  *mode = st.st_mode & 0777;
  return in;
}

bool CopyDescriptor(int in, int out) {
  char chunk[65536];
  for (;;) {
    const ssize_t n = read(in, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    const Result<int64_t> written = FileWrite(out, chunk, static_cast<size_t>(n));
    if (!written.ok()) {
      errno = written.status().error();
      return false;
    }
  }
}

bool CopyToTemporary(const std::string& source, const std::string& target, std::string* temp) {
  unsigned mode = 0;
  const int in = OpenCopySource(source, &mode);
  if (in < 0) return false;
  *temp = target + ".XXXXXX";
  int out = mkostemp(temp->data(), O_CLOEXEC);
  bool ok = out >= 0 && fchmod(out, mode) == 0 && CopyDescriptor(in, out);
  const int saved = errno;
  close(in);  // read-only: nothing to lose
  if (out < 0) {
    errno = saved;
    return false;
  }
  if (ok) {
    const Status closed = FileClose(out);
    ok = closed.ok();
    if (!ok) errno = closed.error();
  } else {
    close(out);
    errno = saved;
  }
  if (!ok) {
    const int error = errno;
    DropTemporary(*temp);
    errno = error;
  }
  return ok;
}

bool RemoveNative(const std::string& native) { return unlink(native.c_str()) == 0; }

bool RenameNoReplace(const std::string& source, const std::string& target) {
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

}  // namespace backend

}  // namespace platform
