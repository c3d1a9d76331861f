// File status, copies, deletion and renaming on Windows.
#include "platform/FileSystem.h"

#include <errno.h>
#include <io.h>
#include <sys/stat.h>

#include <string>

#include "platform/File.h"
#include "platform/win32/Win32.h"

namespace platform {
namespace {

// Seconds since 1970 of a FILETIME (100 ns since 1601).
int64_t UnixSeconds(const FILETIME& time) {
  const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000u) - 11644473600LL;
}

// A native path without a trailing separator, which some calls refuse.
std::string WithoutTrailingSeparator(std::string native) {
  while (native.size() > 1 && (native.back() == '/' || native.back() == '\\') &&
         native[native.size() - 2] != ':') {
    native.pop_back();
  }
  return native;
}

// Fills what a name's attribute data and a handle's information both tell:
// the mode the run-time library's stat reports (type, read for all, write
// unless read-only, execute for directories), the size and the times, and
// one name until the file itself says otherwise.
void FillAttributes(DWORD attributes, const FILETIME& access, const FILETIME& write,
                    const FILETIME& creation, DWORD size_high, DWORD size_low,
                    FileStatus* status) {
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  uint32_t mode = directory ? (_S_IFDIR | 0555) : (_S_IFREG | 0444);
  if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) mode |= 0222;
  *status = FileStatus();
  status->mode = mode;
  status->nlink = 1;
  status->size =
      directory ? 0 : static_cast<int64_t>((static_cast<uint64_t>(size_high) << 32) | size_low);
  status->atime = UnixSeconds(access);
  status->mtime = UnixSeconds(write);
  status->ctime = UnixSeconds(creation);  // as the run-time reports it
}

// The volume, the file index and the number of names of an open file.
void FillIdentityFrom(const BY_HANDLE_FILE_INFORMATION& info, FileStatus* status) {
  status->dev = info.dwVolumeSerialNumber;
  status->ino = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  status->nlink = info.nNumberOfLinks;
}

// Fills the volume, the file index and the number of names, which tell one
// file from another that later takes the same name. Attribute access never
// conflicts with a sharing mode, so a file held exclusively is examined too;
// when the file cannot be opened at all they stay 0 (no identity known).
void FillIdentity(const std::string& native, FileStatus* status) {
  HANDLE handle = CreateFileA(native.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle, &info)) FillIdentityFrom(info, status);
  CloseHandle(handle);  // opened for attributes only: nothing to lose
}

}  // namespace

Status StatDescriptor(int fd, FileStatus* status) {
  BY_HANDLE_FILE_INFORMATION info;
  const HANDLE handle = win32::HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) return Status::Failure("stat", EBADF);
  if (!GetFileInformationByHandle(handle, &info)) return backend::LastFailure("stat");
  FillAttributes(info.dwFileAttributes, info.ftLastAccessTime, info.ftLastWriteTime,
                 info.ftCreationTime, info.nFileSizeHigh, info.nFileSizeLow, status);
  FillIdentityFrom(info, status);
  return Status();
}

namespace backend {

Status StatNative(const std::string& path, FileStatus* status) {
  const std::string native = WithoutTrailingSeparator(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(native.c_str(), GetFileExInfoStandard, &data)) {
    return LastFailure("stat");
  }
  FillAttributes(data.dwFileAttributes, data.ftLastAccessTime, data.ftLastWriteTime,
                 data.ftCreationTime, data.nFileSizeHigh, data.nFileSizeLow, status);
  FillIdentity(native, status);
  return Status();
}

bool IdentityOfRegularNative(const std::string& path, FileIdentity* identity) {
  const std::string native = WithoutTrailingSeparator(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(native.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return false;
  }
  FileStatus status;
  if (!StatNative(native, &status).ok()) return false;
  *identity = IdentityOfStatus(status);
  return true;
}

bool NativeExists(const std::string& path) {
  const std::string native = WithoutTrailingSeparator(path);
  return GetFileAttributesA(native.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool NativeWritable(const std::string& path) {
  const std::string native = WithoutTrailingSeparator(path);
  const DWORD attributes = GetFileAttributesA(native.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

Status CopyToTemporary(const std::string& source, const std::string& target, std::string* temp) {
  const Result<int> in = OpenNamed(source, kShareDenyNone);
  if (!in.ok()) return in.status();
  *temp = target + "." + std::to_string(GetCurrentProcessId()) + ".copy.tmp";
  HANDLE out_handle = CreateFileA(temp->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (out_handle == INVALID_HANDLE_VALUE) {
    const Status failure = LastFailure("create");
    _close(in.value());  // read-only: nothing to lose
    return failure;
  }
  const int out = win32::DescriptorFor(out_handle, false);
  Status status = out >= 0 ? Status() : Status::Failure("create", EMFILE);
  char chunk[65536];
  while (status.ok()) {
    const Result<int64_t> n = FileRead(in.value(), chunk, sizeof chunk);
    if (!n.ok() || n.value() == 0) {
      status = n.status();
      break;
    }
    status = FileWrite(out, chunk, static_cast<size_t>(n.value())).status();
  }
  _close(in.value());  // read-only: nothing to lose
  if (out >= 0) {
    if (status.ok()) {
      status = FileClose(out);
    } else {
      _close(out);  // the copy failed already: nothing more to lose
    }
  }
  if (!status.ok()) DropTemporary(*temp);
  return status;
}

Status RemoveNative(const std::string& native) {
  if (!DeleteFileA(native.c_str())) return LastFailure("remove");
  return Status();
}

Status RenameNoReplace(const std::string& source, const std::string& target) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when `target` exists.
  if (!MoveFileExA(source.c_str(), target.c_str(), 0)) return LastFailure("rename");
  return Status();
}

}  // namespace backend

}  // namespace platform
