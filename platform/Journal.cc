#include "platform/Journal.h"

#include <errno.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/Fault.h"
#include "platform/JournalFile.h"
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

}  // namespace

Journal::~Journal() {
  if (fd_ >= 0) CloseJournalFile(fd_);  // every store reached the cache or may be lost
}

bool Journal::Open(const char* path, bool sync) {
  const std::string native = NativePath(path);
  if (native.empty()) {
    errno = ENOENT;
    return false;
  }
  if (FaultInjected(FaultPoint::kOpen, path)) return false;
  const int fd = OpenJournalFile(native);
  if (fd < 0) return false;
  fd_ = fd;
  sync_ = sync;
  return true;
}

std::string Journal::Load() {
  if (fd_ < 0) return std::string();
  std::string buffer(kBlockSize + 1, '\0');
  char* block = buffer.data();
  const int64_t n = ReadJournalBlock(fd_, block, kBlockSize);
  if (n < static_cast<int64_t>(kHeaderSize)) return std::string();
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
  if (FaultInjected(FaultPoint::kWrite, "journal")) return false;
  std::string block(kHeaderSize + text.size(), '\0');
  std::snprintf(block.data(), kHeaderSize, "QZJ1 %5u %08x\n", static_cast<unsigned>(text.size()),
                Check(text.data(), text.size()));
  std::memcpy(block.data() + kHeaderSize, text.data(), text.size());
  return Write(block.data(), block.size());
}

bool Journal::Clear() {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  const char header[kHeaderSize] = {};
  return Write(header, kHeaderSize);
}

bool Journal::Write(const char* block, size_t size) {
  if (!WriteJournalBlock(fd_, block, size)) return false;
  if (!sync_) return true;
  if (FaultInjected(FaultPoint::kSync, "journal")) return false;
  return SyncJournalFile(fd_);
}

}  // namespace platform
