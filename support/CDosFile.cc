#include "support/CDosFile.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/File.h"
#include "platform/FileSystem.h"

namespace qza {

namespace {

// The class's failure result: 0, with errno and *last holding the reason,
// so that users of the class can tell why as they do after a C library call.
int Failed(int error, int* last) {
  errno = error;
  *last = error;
  return 0;
}

int Failed(const platform::Status& status, int* last) { return Failed(status.error(), last); }

}  // namespace

CDosFile::CDosFile(const char* path) {
  if (path != nullptr) {
    size_t size = std::strlen(path) + 1;
    path_.reset(new char[size]);
    std::memcpy(path_.get(), path, size);
  }
}

CDosFile::~CDosFile() { Close(); }

int CDosFile::Create(unsigned long mode) {
  if (!path_) return Failed(ENOENT, &last_error_);
  const platform::Status created = platform::FileTruncateOrCreate(path_.get());
  if (!created.ok()) return Failed(created, &last_error_);
  return Open(mode);
}

int CDosFile::Open(unsigned long mode) {
  if (!path_) return Failed(ENOENT, &last_error_);
  Close();  // a second open must not leak the first descriptor
  const platform::Result<int> opened = platform::FileOpen(path_.get(), static_cast<unsigned>(mode));
  if (!opened.ok()) return Failed(opened.status(), &last_error_);
  fd_ = opened.value();
  return 1;
}

int CDosFile::Close() {
  if (fd_ < 0) return 0;  // nothing to close (the destructor's call): errno stays as it is
  const platform::Status closed = platform::FileClose(fd_);
  fd_ = -1;
  return closed.ok() ? 1 : Failed(closed, &last_error_);
}

int CDosFile::GetStatus(platform::FileStatus* status) const {
  if (fd_ < 0) return Failed(EBADF, &last_error_);
  const platform::Status stated = platform::StatDescriptor(fd_, status);
  return stated.ok() ? 1 : Failed(stated, &last_error_);
}

int CDosFile::Seek(unsigned long offset) {
  if (fd_ < 0) return Failed(EBADF, &last_error_);
  // Positions stop at the signed 32-bit range of the Windows file API.
  if (offset > static_cast<unsigned long>(INT32_MAX)) return Failed(EINVAL, &last_error_);
  return MoveOrStay(static_cast<int64_t>(offset), 0);
}

int CDosFile::SeekEof() {
  if (fd_ < 0) return Failed(EBADF, &last_error_);
  return MoveOrStay(0, 2);
}

int CDosFile::MoveOrStay(int64_t offset, int origin) {
  const platform::Result<int64_t> before = platform::FileSeek(fd_, 0, 1);
  if (!before.ok()) return Failed(before.status(), &last_error_);
  const platform::Result<int64_t> moved = platform::FileSeek(fd_, offset, origin);
  if (moved.ok()) return 1;
  // The platform may have moved before it refused the position: go back to
  // where it was a moment ago, which the platform accepted then.
  (void)platform::FileSeek(fd_, before.value(), 0);
  return Failed(moved.status(), &last_error_);
}

long CDosFile::GetPos() {
  if (fd_ < 0) return -1;
  const platform::Result<int64_t> position = platform::FileSeek(fd_, 0, 1);
  if (!position.ok()) {
    Failed(position.status(), &last_error_);
    return -1;
  }
  return static_cast<long>(position.value());
}

int CDosFile::Read(void* buffer, unsigned long size, unsigned long* count) {
  if (fd_ < 0) return Failed(EBADF, &last_error_);
  const platform::Result<int64_t> n = platform::FileRead(fd_, buffer, size);
  if (count != nullptr) *count = n.ok() ? static_cast<unsigned long>(n.value()) : 0;
  return n.ok() ? 1 : Failed(n.status(), &last_error_);
}

int CDosFile::Read(void* buffer, unsigned long size) { return Read(buffer, size, nullptr); }

int CDosFile::ReadLine(void* buffer, unsigned long size) {
  if (fd_ < 0 || size == 0) return 0;
  auto* text = static_cast<char*>(buffer);
  unsigned long n = 0;
  if (!Read(text, size - 1, &n)) return 0;
  unsigned long end = n;
  unsigned long next = n;
  for (unsigned long k = 0; k + 1 < n; ++k) {
    if (text[k] == '\r' && text[k + 1] == '\n') {
      end = k;
      next = k + 2;
      break;
    }
  }
  text[end] = '\0';
  // Back from the end of the block to the start of the next line.
  // Back within the block just read: a move the platform cannot refuse.
  if (next < n) (void)platform::FileSeek(fd_, -static_cast<int64_t>(n - next), 1);
  return 1;
}

int CDosFile::Write(const void* buffer, unsigned long size, unsigned long* count) {
  if (fd_ < 0) return Failed(EBADF, &last_error_);
  const platform::Result<int64_t> n = platform::FileWrite(fd_, buffer, size);
  if (count != nullptr) *count = n.ok() ? static_cast<unsigned long>(n.value()) : 0;
  return n.ok() ? 1 : Failed(n.status(), &last_error_);
}

int CDosFile::Write(const void* buffer, unsigned long size) { return Write(buffer, size, nullptr); }

}  // namespace qza
