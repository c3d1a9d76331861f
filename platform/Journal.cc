#include "platform/Journal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/Fault.h"
#include "platform/Path.h"

namespace platform {
namespace {

constexpr size_t kBlockSize = 65536;
constexpr size_t kHeaderSize = 24;  // "QZJ1 <length:5> <check:8>\n" and padding
static_assert(Journal::kCapacity + kHeaderSize <= kBlockSize);

uint32_t Check(const char* text, size_t length) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (size_t i = 0; i < length; ++i) hash = (hash ^ static_cast<unsigned char>(text[i])) * 16777619u;
  return hash;
}

bool WriteBlock(int fd, const char* block, size_t size) {
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

}  // namespace

Journal::~Journal() {
  if (fd_ >= 0) close(fd_);  // every store was synced or may be lost by contract
}

bool Journal::Open(const char* path) {
  const std::string native = NativePath(path);
  if (native.empty()) {
    errno = ENOENT;
    return false;
  }
  if (const int error = FaultFor(FaultPoint::kOpen, path)) {
    errno = error;
    return false;
  }
  int fd = open(native.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return false;
  struct stat st;
  const bool stated = fstat(fd, &st) == 0;
  if (!stated || !S_ISREG(st.st_mode)) {
    const int error = stated ? ENODEV : errno;
    close(fd);
    errno = error;
    return false;
  }
  fd_ = fd;
  return true;
}

std::string Journal::Load() {
  if (fd_ < 0) return std::string();
  std::string buffer(kBlockSize + 1, '\0');
  char* block = buffer.data();
  ssize_t n;
  do {
    n = pread(fd_, block, kBlockSize, 0);
  } while (n < 0 && errno == EINTR);
  if (n < static_cast<ssize_t>(kHeaderSize)) return std::string();
  unsigned length = 0;
  unsigned check = 0;
  if (std::sscanf(block, "QZJ1 %5u %8x", &length, &check) != 2 || length > kCapacity ||
      kHeaderSize + length > static_cast<size_t>(n)) {
    return std::string();
  }
  if (Check(block + kHeaderSize, length) != check) return std::string();
  return std::string(block + kHeaderSize, length);
}

bool Journal::Store(const std::string& text) {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  if (text.size() > kCapacity) {
    errno = ENAMETOOLONG;
    return false;
  }
  if (const int error = FaultFor(FaultPoint::kWrite, "journal")) {
    errno = error;
    return false;
  }
  std::string block(kHeaderSize + text.size(), '\0');
  std::snprintf(block.data(), kHeaderSize, "QZJ1 %5u %08x\n", static_cast<unsigned>(text.size()),
                Check(text.data(), text.size()));
  std::memcpy(block.data() + kHeaderSize, text.data(), text.size());
  return WriteBlock(fd_, block.data(), block.size());
}

bool Journal::Clear() {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  const char header[kHeaderSize] = {};
  return WriteBlock(fd_, header, kHeaderSize);
}

}  // namespace platform
