// An open directory on Windows. The directory is held open without delete
// sharing, so that neither it nor a directory above it can be renamed or
// removed while it is held; it is judged on its final path, which the system
// gives for the handle with every link and junction resolved, and names in it
// are reached through that final path. An entry that is a reparse point is
// replaced or removed itself, never followed.
#include "platform/Directory.h"

#include <errno.h>

#include <string>
#include <utility>

#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/win32/Win32.h"

namespace platform {
namespace {

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

HANDLE OpenDirectoryHandle(const std::string& native, DWORD sharing) {
  return CreateFileA(native.c_str(), 0, sharing, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

Status IdentityOfHandle(HANDLE handle, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return backend::LastFailure("stat");
  *identity = FileIdentity();
  identity->dev = info.dwVolumeSerialNumber;
  identity->ino = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return Status();
}

// The final path of an open handle in its plain form ("C:\dir",
// "\\server\share\dir"), or the failure when the system gives none.
Result<std::string> FinalPath(HANDLE handle) {
  char buffer[32768];
  const DWORD length =
      GetFinalPathNameByHandleA(handle, buffer, sizeof buffer, FILE_NAME_NORMALIZED);
  if (length == 0) return backend::LastFailure("open");
  if (length >= sizeof buffer) return Status::Failure("open", ENAMETOOLONG);
  std::string path(buffer, length);
  if (path.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + path.substr(8);
  if (path.rfind("\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

}  // namespace

void Directory::Close() {
  if (handle_ != -1) CloseHandle(AsHandle(handle_));  // a directory: nothing to lose
  handle_ = -1;
}

Status Directory::OpenNative(const std::string& path) {
  const std::string native = win32::BackslashPath(path);
  HANDLE handle = OpenDirectoryHandle(native, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (handle == INVALID_HANDLE_VALUE) return backend::LastFailure("open");
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CloseHandle(handle);  // never used
    return Status::Failure("open", ENOTDIR);
  }
  Result<std::string> final_path = FinalPath(handle);
  if (!final_path.ok()) {
    CloseHandle(handle);  // never used
    return final_path.status();
  }
  final_ = std::move(final_path).value();
  handle_ = reinterpret_cast<intptr_t>(handle);
  return Status();
}

Status Directory::Identity(FileIdentity* identity) const {
  return IdentityOfHandle(AsHandle(handle_), identity);
}

Result<int> Directory::WithinAny(const std::vector<FileIdentity>& roots) const {
  // The final path holds no link or junction, so its prefixes are the
  // directories above the one held, which no one can rename while it is held.
  std::string path = final_;
  for (;;) {
    FileIdentity identity;
    HANDLE handle =
        OpenDirectoryHandle(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (handle == INVALID_HANDLE_VALUE) return backend::LastFailure("open");
    const Status known = IdentityOfHandle(handle, &identity);
    CloseHandle(handle);  // only its identity was read
    if (!known.ok()) return known;
    for (size_t i = 0; i < roots.size(); ++i) {
      if (roots[i].SameFile(identity)) return static_cast<int>(i) + 1;
    }
    const size_t separator = path.find_last_of('\\');
    if (separator == std::string::npos || separator + 1 == path.size()) return 0;
    // "C:\dir" goes up to "C:\", "\\server\share\dir" to "\\server\share".
    std::string parent = path.substr(0, separator);
    if (parent.size() == 2 && parent[1] == ':') parent += '\\';
    if (parent.size() < 3 || parent == path) return 0;
    path = parent;
  }
}

bool Directory::EntryExists(const char* name) const {
  return GetFileAttributesA((final_ + "\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Directory::EntryReplaceable(const char* name) const {
  const DWORD attributes = GetFileAttributesA((final_ + "\\" + name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
  return (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

// The copy is renamed over the name: a reparse point there is replaced.
Status Directory::CopyToTemporary(const std::string& source, const char* name,
                                  std::string* temp) const {
  return backend::CopyToTemporary(source, final_ + "\\" + name, temp);
}

Status Directory::ReplaceByTemporary(const std::string& temp, const char* name) const {
  return backend::ReplaceByTemporary(temp, final_ + "\\" + name);
}

void Directory::DropTemporary(const std::string& temp) const { backend::DropTemporary(temp); }

// DeleteFile removes a symbolic link itself, never its target.
Status Directory::RemoveNamed(const char* name) const {
  if (!DeleteFileA((final_ + "\\" + name).c_str())) return backend::LastFailure("remove");
  return Status();
}

}  // namespace platform
