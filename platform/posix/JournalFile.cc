// The crash record's block file on POSIX systems: positioned reads and
// writes of one block, which reach the page cache, and the sync that takes
// them to the disk.
#include "platform/JournalFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

Result<int> OpenJournalFile(const std::string& native) {
  int fd = open(native.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return backend::LastFailure("open");
  struct stat st;
  Status status;
  if (fstat(fd, &st) != 0) {
    status = backend::LastFailure("stat");
  } else if (!S_ISREG(st.st_mode)) {
    status = Status::Failure("open", ENODEV);
  }
  if (!status.ok()) {
    close(fd);  // never written: nothing to lose
    return status;
  }
  return fd;
}

void CloseJournalFile(int fd) { close(fd); }

Status WriteJournalBlock(int fd, const char* block, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd, block + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return backend::LastFailure("write");
    if (n == 0) return Status::Failure("write", ENOSPC);
    done += static_cast<size_t>(n);
  }
  return Status();
}

Status SyncJournalFile(int fd) {
  // fdatasync is not restarted after a signal by every file system; a retry
  // syncs whatever the interrupted call had not.
  int result;
  do {
    result = fdatasync(fd);
  } while (result < 0 && errno == EINTR);
  if (result != 0) return backend::LastFailure("sync");
  return Status();
}

Result<int64_t> ReadJournalBlock(int fd, char* block, size_t size) {
  ssize_t n;
  do {
    n = pread(fd, block, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return backend::LastFailure("read");
  return static_cast<int64_t>(n);
}

}  // namespace platform
