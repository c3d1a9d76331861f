// The crash record on Windows: positioned reads and writes of one block. A
// write reaches the system's file cache, which outlives the process however
// it ends.
#include "platform/Journal.h"

#include <errno.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Fault.h"
#include "platform/Path.h"
#include "platform/win32/Win32.h"

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
  OVERLAPPED at{};  // offset 0
  DWORD written = 0;
  if (!WriteFile(win32::HandleOf(fd), block, static_cast<DWORD>(size), &written, &at)) {
    return win32::Fail();
  }
  if (written != size) {
    errno = ENOSPC;
    return false;
  }
  return true;
}

}  // namespace

Journal::~Journal() {
  if (fd_ >= 0) _close(fd_);  // every store reached the cache or may be lost by contract
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
  HANDLE handle = CreateFileA(native.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) return win32::Fail();
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    CloseHandle(handle);
    errno = ENODEV;
    return false;
  }
  const int fd = win32::DescriptorFor(handle, false);
  if (fd < 0) return false;
  fd_ = fd;
  return true;
}

std::string Journal::Load() {
  if (fd_ < 0) return std::string();
  std::string buffer(kBlockSize + 1, '\0');
  char* block = buffer.data();
  OVERLAPPED at{};  // offset 0
  DWORD n = 0;
  if (!ReadFile(win32::HandleOf(fd_), block, kBlockSize, &n, &at)) return std::string();
  if (n < kHeaderSize) return std::string();
  unsigned length = 0;
  unsigned check = 0;
  if (std::sscanf(block, "QZJ1 %5u %8x", &length, &check) != 2 || length > kCapacity ||
      kHeaderSize + length > n) {
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
