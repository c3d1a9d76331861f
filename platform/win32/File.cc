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

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Closes a handle that was never written: nothing to lose, so a failed close
// has nothing to report beside the failure that led here.
void Discard(HANDLE handle) { CloseHandle(handle); }

// The failure of a CreateFile of `native`, right after it: a directory is
// EISDIR (Windows reports it as access denied), a sharing violation EBUSY.
Status OpenFailure(const std::string& native) {
  const Status failure = backend::LastFailure("open");
  if (failure.error() == EACCES) {
    const DWORD attributes = GetFileAttributesA(native.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
      return Status::Failure("open", EISDIR);
  }
  return failure;
}

// A sharing violation is retried this often, this many milliseconds apart.
constexpr int kSharingRetries = 20;
constexpr DWORD kSharingRetryMs = 5;

// Opens the name itself, without following a link and without blocking on a
// device. A sharing violation is retried for a moment first:
// whoever renames a file into place (MoveFileEx) holds it open while the
// rename runs, and so may a virus scanner that looks at every new file;
// neither writes again, so no change notification would bring the file up
// once they let go. A writer that keeps the file open is still refused.
Result<HANDLE> OpenNative(const std::string& native, DWORD access, DWORD share, DWORD disposition) {
  for (int attempt = 0;; ++attempt) {
    HANDLE handle = CreateFileA(native.c_str(), access, share, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    if (GetLastError() != ERROR_SHARING_VIOLATION || attempt == kSharingRetries) {
      return OpenFailure(native);
    }
    ::Sleep(kSharingRetryMs);
  }
}

// Fails unless the handle names a regular file.
Status IsRegular(HANDLE handle) {
  if (GetFileType(handle) != FILE_TYPE_DISK) return Status::Failure("open", ENODEV);
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return backend::LastFailure("stat");
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return Status::Failure("open", ELOOP);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Status::Failure("open", EISDIR);
  return Status();
}

// As IsRegular, and the file has one name only: a second name (a hard link
// that a spool writer made to a file it may not read) is refused with EMLINK.
Status IsRegularWithOneName(HANDLE handle) {
  if (Status regular = IsRegular(handle); !regular.ok()) return regular;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return backend::LastFailure("stat");
  if (info.nNumberOfLinks > 1) return Status::Failure("open", EMLINK);
  return Status();
}

// Wraps the handle in a descriptor; the run-time's refusal (no descriptor
// left, the handle closed) as a failure of `operation`.
Result<int> Wrap(HANDLE handle, bool read_only, const char* operation) {
  const int fd = win32::DescriptorFor(handle, read_only);
  if (fd < 0) return Status::Failure(operation, EMFILE);
  return fd;
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

// Writes all of `size` bytes to the handle.
Status WriteHandle(HANDLE handle, const void* buffer, size_t size) {
  const char* p = static_cast<const char*>(buffer);
  while (size > 0) {
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handle, p, chunk, &written, nullptr)) return backend::LastFailure("write");
    if (written == 0) return Status::Failure("write", ENOSPC);
    p += written;
    size -= written;
  }
  return Status();
}

// Writes all `size` bytes through the front, so that an armed fault applies.
Status WriteAll(int fd, const void* data, size_t size) {
  const Result<int64_t> written = FileWrite(fd, data, size);
  return written.status();
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

Result<int> OpenNamed(const std::string& native, unsigned mode) {
  const Result<HANDLE> opened = OpenNative(native, AccessFor(mode), ShareFor(mode), OPEN_EXISTING);
  if (!opened.ok()) return opened.status();
  if (Status regular = IsRegularWithOneName(opened.value()); !regular.ok()) {
    Discard(opened.value());
    return regular;
  }
  return Wrap(opened.value(), (mode & 3) == 0, "open");
}

Status TruncateOrCreateFile(const std::string& native) {
  const Result<HANDLE> opened = OpenNative(native, GENERIC_WRITE, kShareAll, OPEN_ALWAYS);
  if (!opened.ok()) return opened.status();
  HANDLE handle = opened.value();
  Status status = IsRegular(handle);
  if (status.ok() && !SetEndOfFile(handle)) status = LastFailure("truncate");
  if (!status.ok()) {
    Discard(handle);
    return status;
  }
  if (!CloseHandle(handle)) return LastFailure("close");
  return Status();
}

// rand_s, the system's random source.
Status RandomBytes(unsigned char* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    unsigned int random = 0;
    if (const errno_t error = rand_s(&random); error != 0) return Status::Failure("random", error);
    bytes[i] = static_cast<unsigned char>(random);
  }
  return Status();
}

Result<int> CreateNewFile(const std::string& native) {
  // CREATE_NEW fails on any name that is taken, a link included.
  const Result<HANDLE> opened = OpenNative(native, GENERIC_WRITE, 0, CREATE_NEW);
  if (!opened.ok()) return Status::Failure("create", opened.status().error());
  Result<int> fd = Wrap(opened.value(), false, "create");
  if (!fd.ok()) DeleteFileA(native.c_str());  // the new file stays unused: nothing to lose
  return fd;
}

Status CloseDescriptor(int fd) {
  if (_close(fd) != 0) return Status::Failure("close", errno);
  return Status();
}

Result<int64_t> SeekDescriptor(int fd, int64_t offset, int origin) {
  static const DWORD kMethod[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
  HANDLE handle = win32::HandleOf(fd);
  LARGE_INTEGER zero{}, before{}, distance{}, position{};
  distance.QuadPart = offset;
  if (!SetFilePointerEx(handle, zero, &before, FILE_CURRENT) ||
      !SetFilePointerEx(handle, distance, &position, kMethod[origin])) {
    return LastFailure("seek");
  }
  if (position.QuadPart > INT32_MAX) {
    SetFilePointerEx(handle, before, nullptr, FILE_BEGIN);  // back where it was
    return Status::Failure("seek", EOVERFLOW);
  }
  return static_cast<int64_t>(position.QuadPart);
}

Result<int64_t> ReadDescriptor(int fd, void* buffer, size_t size) {
  const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
  DWORD n = 0;
  if (!::ReadFile(win32::HandleOf(fd), buffer, chunk, &n, nullptr)) {
    if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) {
      return static_cast<int64_t>(0);
    }
    return LastFailure("read");
  }
  return static_cast<int64_t>(n);
}

Result<int64_t> WriteDescriptor(int fd, const void* buffer, size_t size) {
  if (Status written = WriteHandle(win32::HandleOf(fd), buffer, size); !written.ok()) {
    return written;
  }
  return static_cast<int64_t>(size);
}

Status WriteTemporary(const std::string& native, const void* data, size_t size, std::string* temp) {
  *temp = TemporaryName(native);
  const Result<HANDLE> opened = OpenNative(*temp, GENERIC_WRITE, 0, CREATE_NEW);
  if (!opened.ok()) return Status::Failure("create", opened.status().error());
  const Result<int> fd = Wrap(opened.value(), false, "create");
  if (!fd.ok()) {
    DropTemporary(*temp);
    return fd.status();
  }
  Status status = WriteAll(fd.value(), data, size);
  if (!status.ok()) {
    _close(fd.value());  // the write failed already: nothing more to lose
  } else {
    status = FileClose(fd.value());
  }
  if (!status.ok()) DropTemporary(*temp);
  return status;
}

Status ReplaceByTemporary(const std::string& temp, const std::string& native) {
  if (MoveFileExA(temp.c_str(), native.c_str(), MOVEFILE_REPLACE_EXISTING)) return Status();
  const Status failure = LastFailure("rename");
  DropTemporary(temp);
  return failure;
}

void DropTemporary(const std::string& temp) {
  DeleteFileA(temp.c_str());  // the failed write leaves nothing behind
}

// NTFS has no cost to a freed file record that an in-place rewrite would
// save, and a replacement never shows a reader a part: always replace.
int OpenForRewrite(const std::string&) { return -1; }

Status RewriteOpenFile(int fd, const void*, size_t) {
  _close(fd);  // never opened here (OpenForRewrite gives none)
  return Status::Failure("write", EBADF);
}

// Windows has no unnamed files: records are always written the usual way.
Result<int> MakeUnnamedFile(const std::string&) { return Status::Failure("create", ENOSYS); }

Status PublishUnnamedFile(int fd, const std::string&, const void*, size_t) {
  _close(fd);  // never made here (MakeUnnamedFile gives none)
  return Status::Failure("open", ENOENT);
}

Status AppendToNamedFile(const std::string& native, const void* data, size_t size,
                         bool deny_writers) {
  // Append access only: every write goes to the end, in one piece.
  const Result<HANDLE> opened = OpenNative(native, FILE_APPEND_DATA | SYNCHRONIZE,
                                           deny_writers ? FILE_SHARE_READ : kShareAll, OPEN_ALWAYS);
  if (!opened.ok()) return opened.status();
  if (Status regular = IsRegular(opened.value()); !regular.ok()) {
    Discard(opened.value());
    return regular;
  }
  const Result<int> fd = Wrap(opened.value(), false, "open");
  if (!fd.ok()) return fd.status();
  if (Status written = WriteAll(fd.value(), data, size); !written.ok()) {
    _close(fd.value());  // the write failed already: nothing more to lose
    return written;
  }
  return FileClose(fd.value());
}

}  // namespace backend

// Windows enforces the share modes for every opener: nothing to probe.
bool LeasesWork(const char*) { return true; }

bool CanLeaseFilesOfOthers() { return true; }

}  // namespace platform
