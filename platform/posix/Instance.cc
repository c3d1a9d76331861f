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
// Returns the descriptor.
Result<int> OpenLockFile() {
  const int fd = open(kInstanceLockFile,
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return backend::LastFailure("claim");
  Status refused;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    refused = backend::LastFailure("claim");
  } else if (!S_ISREG(st.st_mode)) {
    refused = Status::Failure("claim", EINVAL);
  } else if (st.st_uid != geteuid()) {
    refused = Status::Failure("claim", EPERM);
  } else if ((st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) {
    refused = backend::LastFailure("claim");
  } else {
    return fd;
  }
  close(fd);  // read-only use: nothing to lose
  return refused;
}

}  // namespace

Result<InstanceClaim> ClaimInstance() {
  std::lock_guard<std::mutex> lock(mutex);
  if (lock_fd >= 0) return InstanceClaim::kClaimed;
  const Result<int> fd = OpenLockFile();
  if (!fd.ok()) return fd.status();
  int result;
  do {
    result = flock(fd.value(), LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const Status failure = backend::LastFailure("claim");
    close(fd.value());  // never written: nothing to lose
    if (failure.error() == EWOULDBLOCK) return InstanceClaim::kHeldByAnother;
    return failure;
  }
  lock_fd = fd.value();
  return InstanceClaim::kClaimed;
}

bool ClaimSingleInstance() {
  const Result<InstanceClaim> claim = ClaimInstance();
  return claim.ok() && claim.value() == InstanceClaim::kClaimed;
}

}  // namespace platform
