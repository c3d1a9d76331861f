// The crash record's block file on POSIX systems: positioned reads and
// writes of one block, which reach the page cache, and the sync that takes
// them to the disk.
#include "platform/JournalFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

int OpenJournalFile(const std::string& native) {
  int fd = open(native.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return -1;
  struct stat st;
  const bool stated = fstat(fd, &st) == 0;
  if (!stated || !S_ISREG(st.st_mode)) {
    const int error = stated ? ENODEV : errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

void CloseJournalFile(int fd) { close(fd); }

bool WriteJournalBlock(int fd, const char* block, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd, block + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SyncJournalFile(int fd) {
  // fdatasync is not restarted after a signal by every file system; a retry
  // syncs whatever the interrupted call had not.
  int result;
  do {
    result = fdatasync(fd);
  } while (result < 0 && errno == EINTR);
  return result == 0;
}

int64_t ReadJournalBlock(int fd, char* block, size_t size) {
  ssize_t n;
  do {
    n = pread(fd, block, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace platform
