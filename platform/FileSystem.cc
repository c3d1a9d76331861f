#include "platform/FileSystem.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/Path.h"

namespace platform {

int StatPath(const char* path, FileStatus* status) {
  std::string native = NativePath(path);
  struct stat st;
  if (native.empty() || stat(native.c_str(), &st) != 0) return -1;
  status->device = st.st_dev;
  status->inode = st.st_ino;
  status->mode = st.st_mode;
  status->link_count = st.st_nlink;
  status->owner = st.st_uid;
  status->group = st.st_gid;
  status->special_device = st.st_rdev;
  status->size = st.st_size;
  status->access_time = st.st_atime;
  status->modification_time = st.st_mtime;
  status->change_time = st.st_ctime;
  return 0;
}

bool PathExists(const char* path) {
  std::string native = NativePath(path);
  return !native.empty() && access(native.c_str(), F_OK) == 0;
}

bool PathWritable(const char* path) {
  std::string native = NativePath(path);
  struct stat st;
  if (native.empty() || stat(native.c_str(), &st) != 0) return false;
  return (st.st_mode & 0222) != 0 && access(native.c_str(), W_OK) == 0;
}

bool CopyFileReplacing(const char* from, const char* to) {
  std::string source = NativePath(from);
  std::string target = NativePath(to);
  if (source.empty() || target.empty()) return false;
  int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  std::string temp = target + ".XXXXXX";
  int out = fstat(in, &st) == 0 ? mkostemp(temp.data(), O_CLOEXEC) : -1;
  bool ok = out >= 0 && fchmod(out, st.st_mode & 07777) == 0;
  char chunk[65536];
  while (ok) {
    ssize_t n = read(in, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      ssize_t w = write(out, chunk + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      ok = w > 0;
      if (ok) done += w;
    }
  }
  close(in);  // read-only: nothing to lose
  if (out < 0) return false;
  ok = (close(out) == 0) && ok;
  if (ok && rename(temp.c_str(), target.c_str()) == 0) return true;
  unlink(temp.c_str());  // the failed copy leaves nothing behind
  return false;
}

bool RemoveFile(const char* path) {
  std::string native = NativePath(path);
  return !native.empty() && unlink(native.c_str()) == 0;
}

bool RenameFile(const char* from, const char* to) {
  std::string source = NativePath(from);
  std::string target = NativePath(to);
  if (source.empty() || target.empty()) return false;
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without RENAME_NOREPLACE: link fails when `to` exists.
  if (link(source.c_str(), target.c_str()) != 0) return false;
  return unlink(source.c_str()) == 0;
}

}  // namespace platform
