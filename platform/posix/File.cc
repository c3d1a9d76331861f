// Files on POSIX systems: the sharing modes with leases and locks (see File.h).
#include "platform/File.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <linux/capability.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
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
  int probe = open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
  if (probe < 0) return errno == EWOULDBLOCK;  // someone holds a lease on it
  bool busy = ProbeLease(probe, F_RDLCK) == LeaseAnswer::kConflict;
  close(probe);  // read-only probe: nothing to lose
  return busy;
}

// Closes a descriptor that was never written: nothing to lose, so a failed
// close has nothing to report beside the failure that led here.
void Discard(int fd) { close(fd); }

// Fills `st` for the descriptor; fails unless it names a regular file
// (EISDIR for a directory, ENODEV for anything else).
Status StatRegular(int fd, struct stat* st) {
  if (fstat(fd, st) != 0) return backend::LastFailure("stat");
  if (S_ISREG(st->st_mode)) return Status();
  return Status::Failure("open", S_ISDIR(st->st_mode) ? EISDIR : ENODEV);
}

// Fails unless the descriptor names a regular file.
Status IsRegular(int fd) {
  struct stat st;
  return StatRegular(fd, &st);
}

// As IsRegular, and the file has one name only: a second name (a hard link
// that a spool writer made to a file it may not read) is refused with EMLINK.
Status IsRegularWithOneName(int fd) {
  struct stat st;
  if (Status regular = StatRegular(fd, &st); !regular.ok()) return regular;
  if (st.st_nlink > 1) return Status::Failure("open", EMLINK);
  return Status();
}

// Makes the file end at `size`: cuts off what an older, longer content (or
// a writer that extended it meanwhile) left beyond it. A file already that
// long is left alone, which on some file systems spares a costly truncation.
Status CutAfter(int fd, size_t size) {
  struct stat st;
  if (fstat(fd, &st) != 0) return backend::LastFailure("stat");
  if (st.st_size == static_cast<off_t>(size)) return Status();
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) return backend::LastFailure("truncate");
  return Status();
}

// Writes all `size` bytes; the failure of "write" otherwise.
Status WriteAll(int fd, const void* data, size_t size) {
  const Result<int64_t> written = FileWrite(fd, data, size);
  return written.status();
}

constexpr int kNoFollow = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// A name beside `native` that no other writer uses: the pid and a counter.
std::string TemporaryName(const std::string& native) {
  static std::atomic<unsigned> counter{0};
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, ".%d.%u.tmp", static_cast<int>(getpid()), counter++);
  return native + suffix;
}

}  // namespace

namespace backend {

Result<int> OpenNamed(const std::string& native, unsigned mode) {
  const unsigned sharing = mode & 0x70;
  if (sharing == kShareDenyWrite && HasOtherWriter(native)) return Status::Failure("open", EBUSY);
  int fd = open(native.c_str(), AccessFlags(mode) | kNoFollow);
  if (fd < 0) return LastFailure("open");
  if (Status regular = IsRegularWithOneName(fd); !regular.ok()) {
    Discard(fd);
    return regular;
  }
  if (sharing == kShareExclusive) {
    if (ProbeLease(fd, F_WRLCK) == LeaseAnswer::kConflict || flock(fd, LOCK_EX | LOCK_NB) != 0) {
      Discard(fd);
      return Status::Failure("open", EBUSY);
    }
  }
  // O_NONBLOCK stays set: regular files ignore it for reads and writes.
  return fd;
}

Status TruncateOrCreateFile(const std::string& native) {
  int fd = open(native.c_str(), O_WRONLY | O_CREAT | kNoFollow, 0666);
  if (fd < 0) return LastFailure("open");
  Status status = IsRegular(fd);
  if (status.ok() && ftruncate(fd, 0) != 0) status = LastFailure("truncate");
  if (!status.ok()) {
    Discard(fd);
    return status;
  }
  if (close(fd) != 0) return LastFailure("close");
  return Status();
}

// The kernel's random source.
Status RandomBytes(unsigned char* bytes, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = getrandom(bytes + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastFailure("random");
    done += static_cast<size_t>(n);
  }
  return Status();
}

Result<int> CreateNewFile(const std::string& native) {
  const int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | kNoFollow, 0666);
  if (fd < 0) return LastFailure("create");
  return fd;
}

Status CloseDescriptor(int fd) {
  if (close(fd) != 0) return LastFailure("close");
  return Status();
}

Result<int64_t> SeekDescriptor(int fd, int64_t offset, int origin) {
  static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  // A refused move must leave the position where it was: remember it where
  // the move itself cannot tell.
  const off_t before = origin == 2 ? lseek(fd, 0, SEEK_CUR) : 0;
  off_t position = lseek(fd, offset, kWhence[origin]);
  if (position < 0) return LastFailure("seek");
  if (position > INT32_MAX) {
    // Back to a position that was valid a moment ago: cannot fail.
    lseek(fd, origin == 1 ? position - offset : before, SEEK_SET);
    return Status::Failure("seek", EOVERFLOW);
  }
  return static_cast<int64_t>(position);
}

Result<int64_t> ReadDescriptor(int fd, void* buffer, size_t size) {
  for (;;) {
    const ssize_t n = read(fd, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastFailure("read");
    return static_cast<int64_t>(n);
  }
}

Result<int64_t> WriteDescriptor(int fd, const void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, static_cast<const char*>(buffer) + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastFailure("write");
    // A regular file that takes nothing is full.
    if (n == 0) return Status::Failure("write", ENOSPC);
    done += n;
  }
  return static_cast<int64_t>(done);
}

Status WriteTemporary(const std::string& native, const void* data, size_t size, std::string* temp) {
  *temp = TemporaryName(native);
  int fd = open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | kNoFollow, 0666);
  if (fd < 0) return LastFailure("create");
  Status status = WriteAll(fd, data, size);
  if (!status.ok()) {
    Discard(fd);
  } else {
    status = FileClose(fd);
  }
  if (!status.ok()) DropTemporary(*temp);
  return status;
}

Status ReplaceByTemporary(const std::string& temp, const std::string& native) {
  if (rename(temp.c_str(), native.c_str()) == 0) return Status();
  const Status failure = LastFailure("rename");
  DropTemporary(temp);
  return failure;
}

void DropTemporary(const std::string& temp) {
  unlink(temp.c_str());  // the failed write leaves nothing behind
}

int OpenForRewrite(const std::string& native) {
  int fd = open(native.c_str(), O_WRONLY | kNoFollow);
  if (fd >= 0 && !IsRegularWithOneName(fd).ok()) {
    Discard(fd);
    fd = -1;
  }
  return fd;
}

Status RewriteOpenFile(int fd, const void* data, size_t size) {
  Status status = WriteAll(fd, data, size);
  if (status.ok()) status = CutAfter(fd, size);
  if (!status.ok()) {
    if (ftruncate(fd, 0) != 0) {
      // Nothing more can be done; the caller reports the failed write.
    }
    Discard(fd);
    return status;
  }
  return FileClose(fd);
}

Result<int> MakeUnnamedFile(const std::string& native_directory) {
  const int fd = open(native_directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return LastFailure("create");
  return fd;
}

Status PublishUnnamedFile(int fd, const std::string& native, const void* data, size_t size) {
  if (Status written = WriteAll(fd, data, size); !written.ok()) {
    Discard(fd);
    return written;
  }
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, self, AT_FDCWD, native.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    const Status failure = LastFailure("link");
    Discard(fd);
    return failure;
  }
  return FileClose(fd);
}

Status AppendToNamedFile(const std::string& native, const void* data, size_t size,
                         bool deny_writers) {
  if (deny_writers && HasOtherWriter(native)) return Status::Failure("open", EBUSY);
  int fd = open(native.c_str(), O_WRONLY | O_APPEND | O_CREAT | kNoFollow, 0666);
  if (fd < 0) return LastFailure("open");
  struct stat before;
  if (Status regular = StatRegular(fd, &before); !regular.ok()) {
    Discard(fd);
    return regular;
  }
  if (Status written = WriteAll(fd, data, size); !written.ok()) {
    // A part of the line must not stay: the next line would be glued to it.
    if (ftruncate(fd, before.st_size) != 0) {
      // Nothing more can be done; the caller reports the failed write.
    }
    Discard(fd);
    return written;
  }
  return FileClose(fd);
}

}  // namespace backend

bool LeasesWork(const char* directory) {
  std::string temp = NativeDirectory(directory) + "/.qza_lease_XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return true;  // cannot probe: assume the usual local file system
  unlink(temp.c_str());
  bool works = ProbeLease(fd, F_WRLCK) == LeaseAnswer::kGranted;
  close(fd);
  return works;
}

bool CanLeaseFilesOfOthers() {
  struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return geteuid() == 0;
  return (data[CAP_LEASE / 32].effective & (1u << (CAP_LEASE % 32))) != 0;
}

}  // namespace platform
