// Files on Windows: the DOS sharing modes are the system's own share modes.
//
// - 0x10 exclusive: no sharing; the open fails with a sharing violation
//   (EBUSY) while any other handle has the file open, in any process.
// - 0x20 deny write: shares reading only, so it fails while another handle
//   has the file open for writing.
// - 0x40 deny none (and 0): shares reading, writing and deletion.
// Every open takes the name itself (FILE_FLAG_OPEN_REPARSE_POINT): a symbolic
// link or junction is refused with ELOOP, never followed.
// rand_s, the system's random source, is declared only on request, before
// the C library's headers are first read.
#define _CRT_RAND_S
#include "platform/File.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <string>

#include "platform/win32/Win32.h"

namespace platform {
namespace {

using win32::Fail;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Closes a handle that was never written, keeping errno for the caller.
void Discard(HANDLE handle) {
  const int saved = errno;
  CloseHandle(handle);
  errno = saved;
}

// errno for a failed CreateFile of `native`: a directory is EISDIR (Windows
// reports it as access denied), a sharing violation EBUSY.
int OpenError(const std::string& native) {
  const DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED) {
    const DWORD attributes = GetFileAttributesA(native.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
      return EISDIR;
  }
  return win32::ErrnoFromError(error);
}

// Opens `native` without following a link and without blocking on a device.
// Returns the handle, or INVALID_HANDLE_VALUE with errno set.
// A sharing violation is retried this often, this many milliseconds apart.
constexpr int kSharingRetries = 20;
constexpr DWORD kSharingRetryMs = 5;

// Opens the name itself. A sharing violation is retried for a moment first:
// whoever renames a file into place (MoveFileEx) holds it open while the
// rename runs, and so may a virus scanner that looks at every new file;
// neither writes again, so no change notification would bring the file up
// once they let go. A writer that keeps the file open is still refused.
HANDLE OpenNative(const std::string& native, DWORD access, DWORD share, DWORD disposition) {
  for (int attempt = 0;; ++attempt) {
    HANDLE handle = CreateFileA(native.c_str(), access, share, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    if (GetLastError() != ERROR_SHARING_VIOLATION || attempt == kSharingRetries) {
      errno = OpenError(native);
      return handle;
    }
    ::Sleep(kSharingRetryMs);
  }
}

// Fails with errno set unless the handle names a regular file.
bool IsRegular(HANDLE handle) {
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    errno = ENODEV;
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return Fail();
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    errno = ELOOP;
    return false;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    errno = EISDIR;
    return false;
  }
  return true;
}

// As IsRegular, and the file has one name only: a second name (a hard link
// that a spool writer made to a file it may not read) is refused with EMLINK.
bool IsRegularWithOneName(HANDLE handle) {
  if (!IsRegular(handle)) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return Fail();
  if (info.nNumberOfLinks > 1) {
    errno = EMLINK;
    return false;
  }
  return true;
}

DWORD AccessFor(unsigned mode) {
  switch (mode & 3) {
    case 0:
      return GENERIC_READ;
    case 1:
      return GENERIC_WRITE;
    default:
      return GENERIC_READ | GENERIC_WRITE;
  }
}

DWORD ShareFor(unsigned mode) {
  switch (mode & 0x70) {
    case kShareExclusive:
      return 0;
    case kShareDenyWrite:
      return FILE_SHARE_READ;
    default:
      return kShareAll;
  }
}

// Writes all of `size` bytes to the handle. False with errno set.
bool WriteHandle(HANDLE handle, const void* buffer, size_t size) {
  const char* p = static_cast<const char*>(buffer);
  while (size > 0) {
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handle, p, chunk, &written, nullptr)) return Fail();
    if (written == 0) {
      errno = ENOSPC;
      return false;
    }
    p += written;
    size -= written;
  }
  return true;
}

// A name beside `native` that no other writer uses: the process id and a counter.
std::string TemporaryName(const std::string& native) {
  static std::atomic<unsigned> counter{0};
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, ".%lu.%u.tmp", GetCurrentProcessId(), counter++);
  return native + suffix;
}

}  // namespace

namespace backend {

int OpenNamed(const std::string& native, unsigned mode) {
  HANDLE handle = OpenNative(native, AccessFor(mode), ShareFor(mode), OPEN_EXISTING);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  if (!IsRegularWithOneName(handle)) {
    Discard(handle);
    return -1;
  }
  return win32::DescriptorFor(handle, (mode & 3) == 0);
}

bool TruncateOrCreateFile(const std::string& native) {
  HANDLE handle = OpenNative(native, GENERIC_WRITE, kShareAll, OPEN_ALWAYS);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool ok = IsRegular(handle);
  if (ok && !SetEndOfFile(handle)) ok = Fail();
  if (!ok) {
    Discard(handle);
    return false;
  }
  return CloseHandle(handle) ? true : Fail();
}

// rand_s, the system's random source.
bool RandomBytes(unsigned char* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    unsigned int random = 0;
    if (rand_s(&random) != 0) {
      errno = EIO;
      return false;
    }
    bytes[i] = static_cast<unsigned char>(random);
  }
  return true;
}

int CreateNewFile(const std::string& native) {
  // CREATE_NEW fails on any name that is taken, a link included.
  HANDLE handle = OpenNative(native, GENERIC_WRITE, 0, CREATE_NEW);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  const int fd = win32::DescriptorFor(handle, false);
  if (fd < 0) {
    const int saved = errno;
    DeleteFileA(native.c_str());
    errno = saved;
  }
  return fd;
}

bool CloseDescriptor(int fd) { return _close(fd) == 0; }

int64_t SeekDescriptor(int fd, int64_t offset, int origin) {
  static const DWORD kMethod[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
  HANDLE handle = win32::HandleOf(fd);
  LARGE_INTEGER zero{}, before{}, distance{}, position{};
  distance.QuadPart = offset;
  if (!SetFilePointerEx(handle, zero, &before, FILE_CURRENT) ||
      !SetFilePointerEx(handle, distance, &position, kMethod[origin])) {
    Fail();
    return -1;
  }
  if (position.QuadPart > INT32_MAX) {
    SetFilePointerEx(handle, before, nullptr, FILE_BEGIN);  // back where it was
    errno = EOVERFLOW;
    return -1;
  }
  return position.QuadPart;
}

int64_t ReadDescriptor(int fd, void* buffer, size_t size) {
  const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
  DWORD n = 0;
  if (!::ReadFile(win32::HandleOf(fd), buffer, chunk, &n, nullptr)) {
    if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) return 0;
    Fail();
    return -1;
  }
  return n;
}

int64_t WriteDescriptor(int fd, const void* buffer, size_t size) {
  if (!WriteHandle(win32::HandleOf(fd), buffer, size)) return -1;
  return static_cast<int64_t>(size);
}

bool WriteTemporary(const std::string& native, const void* data, size_t size, std::string* temp) {
  *temp = TemporaryName(native);
  HANDLE handle = OpenNative(*temp, GENERIC_WRITE, 0, CREATE_NEW);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const int fd = win32::DescriptorFor(handle, false);
  if (fd < 0) {
    DropTemporary(*temp);
    return false;
  }
  bool ok = FileWrite(fd, data, size) == static_cast<int64_t>(size);
  if (!ok) {
    const int saved = errno;
    _close(fd);
    errno = saved;
  } else {
    ok = FileClose(fd);
  }
  if (!ok) DropTemporary(*temp);
  return ok;
}

bool ReplaceByTemporary(const std::string& temp, const std::string& native) {
  if (MoveFileExA(temp.c_str(), native.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  Fail();
  DropTemporary(temp);
  return false;
}

void DropTemporary(const std::string& temp) {
  const int saved = errno;
  DeleteFileA(temp.c_str());  // the failed write leaves nothing behind
  errno = saved;
}

// NTFS has no cost to a freed file record that an in-place rewrite would
// save, and a replacement never shows a reader a part: always replace.
int OpenForRewrite(const std::string&) { return -1; }

bool RewriteOpenFile(int fd, const void*, size_t) {
  _close(fd);  // never opened here (OpenForRewrite gives none)
  errno = EBADF;
  return false;
}

// Windows has no unnamed files: records are always written the usual way.
int MakeUnnamedFile(const std::string&) {
  errno = ENOSYS;
  return -1;
}

bool PublishUnnamedFile(int fd, const std::string&, const void*, size_t) {
  _close(fd);  // never made here (MakeUnnamedFile gives none)
  errno = ENOENT;
  return false;
}

bool AppendToNamedFile(const std::string& native, const void* data, size_t size,
                       bool deny_writers) {
  // Append access only: every write goes to the end, in one piece.
  HANDLE handle = OpenNative(native, FILE_APPEND_DATA | SYNCHRONIZE,
                             deny_writers ? FILE_SHARE_READ : kShareAll, OPEN_ALWAYS);
  if (handle == INVALID_HANDLE_VALUE) return false;
  if (!IsRegular(handle)) {
    Discard(handle);
    return false;
  }
  const int fd = win32::DescriptorFor(handle, false);
  if (fd < 0) return false;
  if (FileWrite(fd, data, size) != static_cast<int64_t>(size)) {
    const int saved = errno;
    _close(fd);
    errno = saved;
    return false;
  }
  return FileClose(fd);
}

}  // namespace backend

// Windows enforces the share modes for every opener: nothing to probe.
bool LeasesWork(const char*) { return true; }

bool CanLeaseFilesOfOthers() { return true; }

}  // namespace platform
