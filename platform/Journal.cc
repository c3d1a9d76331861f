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

Status Journal::Open(const char* path, bool sync) {
  std::string native;
  if (Status checked = CheckedNativePath(FaultPoint::kOpen, "open", path, &native); !checked.ok()) {
    return checked;
  }
  const bool existed = PathExists(path);
  const Result<int> opened = OpenJournalFile(native);
  if (!opened.ok()) return opened.status();
  fd_ = opened.value();
  sync_ = sync;
  created_ = !existed;
  // A new file holds the empty record at once: an empty file is never what
  // this class leaves, so one found later was cut short. A record that could
  // not be written leaves the file empty, which the next Store fills and
  // LoadWhole of this journal reads as empty.
  if (created_) (void)Clear();
  return Status();
}

bool Journal::LoadWhole(std::string* text, std::string* damage) {
  text->clear();
  if (fd_ < 0) {
    *damage = "it is not open";
    return false;
  }
  std::string buffer(kBlockSize + 1, '\0');
  char* block = buffer.data();
  const Result<int64_t> read = ReadJournalBlock(fd_, block, kBlockSize + 1);
  if (!read.ok()) {
    *damage = std::string("it cannot be read: ") + read.status().reason();
    return false;
  }
  const int64_t n = read.value();
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
  const Result<int64_t> read = ReadJournalBlock(fd_, block, kBlockSize);
  const int64_t n = read.value();  // 0 after a failure: no record
  if (!read.ok() || n < static_cast<int64_t>(kHeaderSize)) return std::string();
  unsigned length = 0;
  unsigned check = 0;
  if (std::sscanf(block, "QZJ1 %5u %8x", &length, &check) != 2 || length > kCapacity ||
      kHeaderSize + length > static_cast<size_t>(n)) {
    return std::string();
  }
  if (Check(block + kHeaderSize, length) != check) return std::string();
  return std::string(block + kHeaderSize, length);
}

Status Journal::Store(const std::string& text) {
  if (fd_ < 0) return Status::Failure("write", EBADF);
  if (text.size() > kCapacity) return Status::Failure("write", EFBIG);
  if (Status fault = FaultStatus(FaultPoint::kWrite, "write", "journal"); !fault.ok()) {
    return fault;
  }
  std::string block(kHeaderSize + text.size(), '\0');
  std::snprintf(block.data(), kHeaderSize, "QZJ1 %5u %08x\n", static_cast<unsigned>(text.size()),
                Check(text.data(), text.size()));
  std::memcpy(block.data() + kHeaderSize, text.data(), text.size());
  return Write(block.data(), block.size());
}

Status Journal::Clear() {
  if (fd_ < 0) return Status::Failure("write", EBADF);
  return Store(std::string());
}

Status Journal::Write(const char* block, size_t size) {
  if (Status written = WriteJournalBlock(fd_, block, size); !written.ok()) return written;
  if (!sync_) return Status();
  if (Status fault = FaultStatus(FaultPoint::kSync, "sync", "journal"); !fault.ok()) return fault;
  return SyncJournalFile(fd_);
}

}  // namespace platform
