// Reading and replacing ini files on Windows.
#include <errno.h>
#include <io.h>

#include <string>

#include "platform/File.h"
#include "platform/Profile.h"
#include "platform/ProfileFile.h"
#include "platform/win32/Win32.h"

namespace platform::backend {

// The whole file; EFBIG past kMaxProfileBytes (also for a file that grows
// while it is read): a part of a file is never taken for the whole.
Result<std::string> ReadProfileData(const std::string& native) {
  HANDLE handle = CreateFileA(native.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastFailure("open");
  std::string data;
  char chunk[8192];
  DWORD n = 0;
  Status status;
  for (;;) {
    if (!ReadFile(handle, chunk, sizeof chunk, &n, nullptr)) {
      status = LastFailure("read");
      break;
    }
    if (n == 0) break;
    if (data.size() + n > kMaxProfileBytes) {
      status = Status::Failure("read", EFBIG);
      break;
    }
    data.append(chunk, n);
  }
  CloseHandle(handle);  // read-only handle: nothing to lose
  if (!status.ok()) return status;
  return data;
}

// The file that the name leads to. Windows resolves links itself when the
// file is opened and MoveFileEx replaces a link at the name, so the name is
// taken as it is.
Result<std::string> FollowLinks(std::string native) { return native; }

// Replaces the file by `data` through a temporary file beside it, flushed
// before it is moved over the old one. The new file keeps the old one's
// attributes (read-only, hidden, ...).
Status ReplaceWithData(const std::string& native, const std::string& data) {
  const DWORD attributes = GetFileAttributesA(native.c_str());
  std::string temp = native;
  temp.append(".").append(std::to_string(GetCurrentProcessId())).append(".tmp");
  HANDLE handle = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastFailure("create");
  DWORD written = 0;
  Status status;
  if (!WriteFile(handle, data.data(), static_cast<DWORD>(data.size()), &written, nullptr)) {
    status = LastFailure("write");
  } else if (written != data.size()) {
    status = Status::Failure("write", EIO);
  } else if (!FlushFileBuffers(handle)) {
    status = LastFailure("sync");
  }
  if (!CloseHandle(handle) && status.ok()) status = LastFailure("close");
  if (status.ok() && !MoveFileExA(temp.c_str(), native.c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    status = LastFailure("rename");
  }
  if (status.ok()) {
    if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesA(native.c_str(), attributes);
    return status;
  }
  DeleteFileA(temp.c_str());  // best effort: the old file is untouched either way
  return status;
}

}  // namespace platform::backend
