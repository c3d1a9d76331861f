#include "platform/Journal.h"

#include <errno.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/Fault.h"
#include "platform/JournalFile.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/File.h"

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

void Journal::Close() {
  if (fd_ >= 0) CloseJournalFile(fd_);
  fd_ = -1;
  created_ = false;
}

bool Journal::Open(const char* path, bool sync) {
  const std::string native = NativePath(path);
  if (native.empty()) {
    errno = ENOENT;
    return false;
  }
  if (FaultInjected(FaultPoint::kOpen, path)) return false;
  const bool existed = PathExists(path);
  const int fd = OpenJournalFile(native);
  if (fd < 0) return false;
  fd_ = fd;
  sync_ = sync;
  created_ = !existed;
  // A new file holds the empty record at once: an empty file is never what
  // this class leaves, so one found later was cut short.
  if (created_) Clear();
  return true;
}

bool Journal::LoadWhole(std::string* text, std::string* damage) {
  text->clear();
  if (fd_ < 0) {
    *damage = "it is not open";
    return false;
  }
  std::string buffer(kBlockSize + 1, '\0');
  char* block = buffer.data();
  const int64_t n = ReadJournalBlock(fd_, block, kBlockSize + 1);
  if (n < 0) {
    *damage = std::string("it cannot be read: ") + ErrorText(errno);
    return false;
  }
  if (n == 0) {
    if (created_) return true;
    *damage = "it is empty";
    return false;
  }
  if (n > static_cast<int64_t>(kBlockSize)) {
    *damage = "it is larger than any record";
    return false;
  }
  if (n < static_cast<int64_t>(kHeaderSize)) {
    *damage = "it is cut short";
    return false;
  }
  bool zero = true;
  for (size_t i = 0; i < kHeaderSize && zero; ++i) zero = block[i] == '\0';
  if (zero) return true;  // cleared by an earlier version
  unsigned length = 0;
  unsigned check = 0;
  char newline = 0;
  if (std::sscanf(block, "QZJ1 %5u %8x%c", &length, &check, &newline) != 3 || newline != '\n') {
    *damage = "its header is not a record's";
    return false;
  }
  if (length > kCapacity) {
    *damage = "its length is out of range";
    return false;
  }
  if (kHeaderSize + length > static_cast<size_t>(n)) {
    *damage = "it is cut short";
    return false;
  }
  if (Check(block + kHeaderSize, length) != check) {
    *damage = "its check value does not match";
    return false;
  }
  text->assign(block + kHeaderSize, length);
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
    errno = EFBIG;
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
  return Store(std::string());
}

bool Journal::Write(const char* block, size_t size) {
  if (!WriteJournalBlock(fd_, block, size)) return false;
  if (!sync_) return true;
  if (FaultInjected(FaultPoint::kSync, "journal")) return false;
  return SyncJournalFile(fd_);
}

}  // namespace platform
