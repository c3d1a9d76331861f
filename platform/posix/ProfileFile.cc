// Reading and replacing ini files on Linux.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/Profile.h"
#include "platform/ProfileFile.h"

namespace platform::profile_file {
namespace {

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

// Gives the new file at `fd` the permissions, owner and group of the file it
// replaces (`old`, null for a new file). False with errno set when the owner
// or group cannot be kept.
bool TakeOverAttributes(int fd, const struct stat* old) {
  if (old == nullptr) return fchmod(fd, 0644) == 0;
  struct stat now;
  if (fstat(fd, &now) != 0) return false;
  if ((now.st_uid != old->st_uid || now.st_gid != old->st_gid) &&
      fchown(fd, old->st_uid, old->st_gid) != 0) {
    return false;
  }
  return fchmod(fd, old->st_mode & 07777) == 0;  // after fchown, which may clear set-id bits
}

}  // namespace

// Reads the whole file into `data`. False with errno set when it cannot be
// opened or a read fails, EFBIG past kMaxProfileBytes (also for a file that
// grows while it is read): a part of a file is never taken for the whole.
bool ReadNative(const std::string& native, std::string* data) {
  int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  char chunk[8192];
  ssize_t n;
  int error = 0;
  while ((n = read(fd, chunk, sizeof chunk)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (data->size() + n > kMaxProfileBytes) {
      error = EFBIG;
      break;
    }
    data->append(chunk, n);
  }
  close(fd);  // read-only descriptor: nothing to lose
  if (error == 0) return true;
  data->clear();
  errno = error;
  return false;
}

// The name that a chain of symbolic links at `native` leads to (the name
// itself when it is no link). A relative link target counts from the link's
// directory. False with errno ELOOP after 40 links, or the error of readlink.
bool FollowLinks(std::string native, std::string* target) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(native.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *target = native;
      return true;
    }
    char link[4096];
    const ssize_t n = readlink(native.c_str(), link, sizeof link - 1);
    if (n < 0) return false;
    link[n] = '\0';
    if (link[0] == '/') {
      native = link;
    } else {
      const size_t slash = native.rfind('/');
      native = (slash == std::string::npos ? std::string() : native.substr(0, slash + 1)) + link;
    }
  }
  errno = ELOOP;
  return false;
}

// Replaces the file by `data` through a temporary file beside it, synced and
// renamed over the old one; a failure leaves the old file as it was.
bool ReplaceWithData(const std::string& native, const std::string& data) {
  struct stat old_status;
  const bool existed = stat(native.c_str(), &old_status) == 0;
  std::string temp = native + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = TakeOverAttributes(fd, existed ? &old_status : nullptr) && WriteAll(fd, data) &&
            fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && rename(temp.c_str(), native.c_str()) == 0) return true;
  if (ok) error = errno;
  unlink(temp.c_str());  // best effort: the old file is untouched either way
  errno = error;
  return false;
}

}  // namespace platform::profile_file
