#include "platform/File.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <string>

#include "platform/Path.h"

namespace platform {
namespace {

enum class LeaseAnswer { kGranted, kConflict, kUnsupported };

void IgnoreLeaseBreakSignal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current;
    if (sigaction(SIGIO, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      signal(SIGIO, SIG_IGN);
    }
  });
}

// Asks for a lease of the given type on the descriptor and gives it back.
LeaseAnswer ProbeLease(int fd, int type) {
  IgnoreLeaseBreakSignal();
  if (fcntl(fd, F_SETLEASE, type) == 0) {
    fcntl(fd, F_SETLEASE, F_UNLCK);  // giving a lease back cannot fail here
    return LeaseAnswer::kGranted;
  }
  return errno == EAGAIN ? LeaseAnswer::kConflict : LeaseAnswer::kUnsupported;
}

int AccessFlags(unsigned mode) {
  switch (mode & 3) {
    case 0:
      return O_RDONLY;
    case 1:
      return O_WRONLY;
    default:
      return O_RDWR;
  }
}

// True while another descriptor has the file open for writing.
bool HasOtherWriter(const std::string& native) {
  int probe = open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (probe < 0) return errno == EWOULDBLOCK;  // someone holds a lease on it
  bool busy = ProbeLease(probe, F_RDLCK) == LeaseAnswer::kConflict;
  close(probe);  // read-only probe: nothing to lose
  return busy;
}

}  // namespace

int FileOpen(const char* path, unsigned mode) {
  std::string native = NativePath(path);
  if (native.empty()) return -1;
  const unsigned sharing = mode & 0x70;
  if (sharing == kShareDenyWrite && HasOtherWriter(native)) return -1;
  int fd = open(native.c_str(), AccessFlags(mode) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  if (sharing == kShareExclusive) {
    if (ProbeLease(fd, F_WRLCK) == LeaseAnswer::kConflict || flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);  // never used: nothing to lose
      return -1;
    }
  }
  // Regular files ignore O_NONBLOCK for reads and writes; clear it all the same.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool FileTruncateOrCreate(const char* path) {
  std::string native = NativePath(path);
  if (native.empty()) return false;
  int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                0666);
  if (fd < 0) return false;
  return close(fd) == 0;
}

bool FileClose(int fd) { return close(fd) == 0; }

int64_t FileSeek(int fd, int64_t offset, int origin) {
  static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (origin < 0 || origin > 2) return -1;
  off_t position = lseek(fd, offset, kWhence[origin]);
  if (position < 0 || position > INT32_MAX) return -1;
  return position;
}

int64_t FileRead(int fd, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = read(fd, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

int64_t FileWrite(int fd, const void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, static_cast<const char*>(buffer) + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    done += n;
  }
  return static_cast<int64_t>(done);
}

bool LeasesWork(const char* directory) {
  std::string temp = NativeDirectory(directory) + "/.qza_lease_XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return true;  // cannot probe: assume the usual local file system
  unlink(temp.c_str());
  bool works = ProbeLease(fd, F_WRLCK) == LeaseAnswer::kGranted;
  close(fd);
  return works;
}

}  // namespace platform
