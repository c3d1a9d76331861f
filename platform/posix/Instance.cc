#include "platform/Instance.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

namespace platform {
namespace {

std::mutex mutex;
int lock_fd = -1;  // guarded by mutex; held open for the life of the process

// Opens the lock file, creating it; refuses what only its owner must hold.
// Returns the descriptor, or -1 with *error set.
int OpenLockFile(int* error) {
  const int fd = open(kInstanceLockFile,
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    *error = EINVAL;
  } else if (st.st_uid != geteuid()) {
    *error = EPERM;
  } else if ((st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) {
    *error = errno;
  } else {
    return fd;
  }
  close(fd);  // read-only use: nothing to lose
  return -1;
}

}  // namespace

InstanceClaim ClaimInstance(int* error) {
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  std::lock_guard<std::mutex> lock(mutex);
  if (lock_fd >= 0) return InstanceClaim::kClaimed;
  const int fd = OpenLockFile(error);
  if (fd < 0) return InstanceClaim::kFailed;
  int result;
  do {
    result = flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const bool held = errno == EWOULDBLOCK;
    if (!held) *error = errno;
    close(fd);
    return held ? InstanceClaim::kHeldByAnother : InstanceClaim::kFailed;
  }
  lock_fd = fd;
  return InstanceClaim::kClaimed;
}

bool ClaimSingleInstance() { return ClaimInstance(nullptr) == InstanceClaim::kClaimed; }

}  // namespace platform
