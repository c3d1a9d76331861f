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

Status StatDescriptor(int fd, FileStatus* status) {
  struct stat st;
  if (fstat(fd, &st) != 0) return backend::LastFailure("stat");
  *status = StatusOf(st);
  return Status();
}

namespace backend {

bool IdentityOfRegularNative(const std::string& native, FileIdentity* identity) {
  struct stat st;
  if (lstat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *identity = IdentityOfStatus(StatusOf(st));
  return true;
}

Status StatNative(const std::string& native, FileStatus* status) {
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return LastFailure("stat");
  *status = StatusOf(st);
  return Status();
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

Result<int> OpenCopySource(const std::string& native, unsigned* mode) {
  const int in = open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (in < 0) return LastFailure("open");
  struct stat st;
  Status status;
  if (fstat(in, &st) != 0) {
    status = LastFailure("stat");
  } else if (!S_ISREG(st.st_mode)) {
    status = Status::Failure("open", ENODEV);
  }
  if (!status.ok()) {
    close(in);  // read-only: nothing to lose
    return status;
  }
  *mode = st.st_mode & 0777;
  return in;
}

Status CopyDescriptor(int in, int out) {
  char chunk[65536];
  for (;;) {
    const ssize_t n = read(in, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastFailure("read");
    if (n == 0) return Status();
    if (Status written = FileWrite(out, chunk, static_cast<size_t>(n)).status(); !written.ok()) {
      return written;
    }
  }
}

Status CopyToTemporary(const std::string& source, const std::string& target, std::string* temp) {
  unsigned mode = 0;
  const Result<int> in = OpenCopySource(source, &mode);
  if (!in.ok()) return in.status();
  *temp = target + ".XXXXXX";
  const int out = mkostemp(temp->data(), O_CLOEXEC);
  Status status;
  if (out < 0) {
    status = LastFailure("create");
  } else if (fchmod(out, mode) != 0) {
    status = LastFailure("chmod");
  } else {
    status = CopyDescriptor(in.value(), out);
  }
  close(in.value());  // read-only: nothing to lose
  if (out < 0) return status;
  if (status.ok()) {
    status = FileClose(out);
  } else {
    close(out);  // the copy failed already: nothing more to lose
  }
  if (!status.ok()) DropTemporary(*temp);
  return status;
}

Status RemoveNative(const std::string& native) {
  if (unlink(native.c_str()) != 0) return LastFailure("remove");
  return Status();
}

Status RenameNoReplace(const std::string& source, const std::string& target) {
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
    return Status();
  if (errno != EINVAL && errno != ENOSYS) return LastFailure("rename");
  // A file system without RENAME_NOREPLACE: link fails when `to` exists.
  if (link(source.c_str(), target.c_str()) != 0) return LastFailure("rename");
  if (unlink(source.c_str()) == 0) return Status();
  const Status failure = LastFailure("rename");
  unlink(target.c_str());  // undo: the file keeps its old name only
  return failure;
}

}  // namespace backend

}  // namespace platform
