// Reading and replacing ini files on Linux.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/Profile.h"
#include "platform/ProfileFile.h"

namespace platform::backend {
namespace {

Status WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastFailure("write");
    if (n == 0) return Status::Failure("write", EIO);
    done += n;
  }
  return Status();
}

Status Chmod(int fd, mode_t mode) {
  return fchmod(fd, mode) == 0 ? Status() : LastFailure("chmod");
}

// Gives the new file at `fd` the permissions, owner and group of the file it
// replaces (`old`, null for a new file). A failure when the owner or group
// cannot be kept.
Status TakeOverAttributes(int fd, const struct stat* old) {
  if (old == nullptr) return Chmod(fd, 0644);
  struct stat now;
  if (fstat(fd, &now) != 0) return LastFailure("stat");
  if ((now.st_uid != old->st_uid || now.st_gid != old->st_gid) &&
      fchown(fd, old->st_uid, old->st_gid) != 0) {
    return LastFailure("chown");
  }
  return Chmod(fd, old->st_mode & 07777);  // after fchown, which may clear set-id bits
}

Status Sync(int fd) { return fsync(fd) == 0 ? Status() : LastFailure("sync"); }

}  // namespace

// The whole file; EFBIG past kMaxProfileBytes (also for a file that grows
// while it is read): a part of a file is never taken for the whole.
Result<std::string> ReadProfileData(const std::string& native) {
  int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return LastFailure("open");
  std::string data;
  char chunk[8192];
  ssize_t n;
  Status status;
  while ((n = read(fd, chunk, sizeof chunk)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      status = LastFailure("read");
      break;
    }
    if (data.size() + n > kMaxProfileBytes) {
      status = Status::Failure("read", EFBIG);
      break;
    }
    data.append(chunk, n);
  }
  close(fd);  // read-only descriptor: nothing to lose
  if (!status.ok()) return status;
  return data;
}

// The name that a chain of symbolic links at `native` leads to (the name
// itself when it is no link). A relative link target counts from the link's
// directory. ELOOP after 40 links, or the error of readlink.
Result<std::string> FollowLinks(std::string native) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(native.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return native;
    char link[4096];
    const ssize_t n = readlink(native.c_str(), link, sizeof link - 1);
    if (n < 0) return LastFailure("readlink");
    link[n] = '\0';
    if (link[0] == '/') {
      native = link;
    } else {
      const size_t slash = native.rfind('/');
      native = (slash == std::string::npos ? std::string() : native.substr(0, slash + 1)) + link;
    }
  }
  return Status::Failure("readlink", ELOOP);
}

// Replaces the file by `data` through a temporary file beside it, synced and
// renamed over the old one; a failure leaves the old file as it was.
Status ReplaceWithData(const std::string& native, const std::string& data) {
  struct stat old_status;
  const bool existed = stat(native.c_str(), &old_status) == 0;
  std::string temp = native + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return LastFailure("create");
  Status status = TakeOverAttributes(fd, existed ? &old_status : nullptr);
  if (status.ok()) status = WriteAll(fd, data);
  if (status.ok()) status = Sync(fd);
  if (close(fd) != 0 && status.ok()) status = LastFailure("close");
  if (status.ok() && rename(temp.c_str(), native.c_str()) == 0) return Status();
  if (status.ok()) status = LastFailure("rename");
  unlink(temp.c_str());  // best effort: the old file is untouched either way
  return status;
}

}  // namespace platform::backend
