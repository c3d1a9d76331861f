// The crash record's block file on Windows: positioned reads and writes of
// one block. A write reaches the system's file cache, which outlives the
// process however it ends; a sync flushes it to the disk.
#include "platform/JournalFile.h"

#include <errno.h>
#include <io.h>

#include "platform/win32/Win32.h"

namespace platform {

Result<int> OpenJournalFile(const std::string& native) {
  HANDLE handle = CreateFileA(native.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) return backend::LastFailure("open");
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    CloseHandle(handle);  // never written: nothing to lose
    return Status::Failure("open", ENODEV);
  }
  const int fd = win32::DescriptorFor(handle, false);
  if (fd < 0) return Status::Failure("open", EMFILE);
  return fd;
}

void CloseJournalFile(int fd) { _close(fd); }

Status WriteJournalBlock(int fd, const char* block, size_t size) {
  OVERLAPPED at{};  // offset 0
  DWORD written = 0;
  if (!WriteFile(win32::HandleOf(fd), block, static_cast<DWORD>(size), &written, &at)) {
    return backend::LastFailure("write");
  }
  if (written != size) return Status::Failure("write", ENOSPC);
  return Status();
}

Status SyncJournalFile(int fd) {
  if (!FlushFileBuffers(win32::HandleOf(fd))) return backend::LastFailure("sync");
  return Status();
}

Result<int64_t> ReadJournalBlock(int fd, char* block, size_t size) {
  OVERLAPPED at{};  // offset 0
  DWORD n = 0;
  if (!ReadFile(win32::HandleOf(fd), block, static_cast<DWORD>(size), &n, &at)) {
    // A positioned read at the end of the file fails with ERROR_HANDLE_EOF
    // instead of reading nothing.
    if (GetLastError() == ERROR_HANDLE_EOF) return static_cast<int64_t>(0);
    return backend::LastFailure("read");
  }
  return static_cast<int64_t>(n);
}

}  // namespace platform
