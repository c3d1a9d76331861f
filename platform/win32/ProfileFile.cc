// Reading and replacing ini files on Windows.
#include <errno.h>
#include <io.h>

#include <string>

#include "platform/File.h"
#include "platform/Profile.h"
#include "platform/ProfileFile.h"
#include "platform/win32/Win32.h"

namespace platform::profile_file {

// Reads the whole file into `data`. False with errno set when it cannot be
// opened or a read fails, EFBIG past kMaxProfileBytes (also for a file that
// grows while it is read): a part of a file is never taken for the whole.
bool ReadNative(const std::string& native, std::string* data) {
  HANDLE handle = CreateFileA(native.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return win32::Fail();
  char chunk[8192];
  DWORD n = 0;
  bool ok = true;
  bool too_large = false;
  while ((ok = ReadFile(handle, chunk, sizeof chunk, &n, nullptr)) && n > 0) {
    if (data->size() + n > kMaxProfileBytes) {
      too_large = true;
      break;
    }
    data->append(chunk, n);
  }
  if (!ok) win32::Fail();
  const int error = too_large ? EFBIG : errno;
  CloseHandle(handle);  // read-only handle: nothing to lose
  if (too_large) ok = false;
  if (!ok) data->clear();
  errno = error;
  return ok;
}

// The file that the name leads to. Windows resolves links itself when the
// file is opened and MoveFileEx replaces a link at the name, so the name is
// taken as it is.
bool FollowLinks(std::string native, std::string* target) {
  *target = native;
  return true;
}

// Replaces the file by `data` through a temporary file beside it, flushed
// before it is moved over the old one. The new file keeps the old one's
// attributes (read-only, hidden, ...).
bool ReplaceWithData(const std::string& native, const std::string& data) {
  const DWORD attributes = GetFileAttributesA(native.c_str());
  const std::string temp = native + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
  HANDLE handle = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return win32::Fail();
  DWORD written = 0;
  bool ok = WriteFile(handle, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
            written == data.size() && FlushFileBuffers(handle);
  if (!ok) win32::Fail();
  if (!CloseHandle(handle) && ok) ok = win32::Fail();
  if (ok && !MoveFileExA(temp.c_str(), native.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = win32::Fail();
  }
  if (ok) {
    if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesA(native.c_str(), attributes);
    return true;
  }
  const int error = errno;
  DeleteFileA(temp.c_str());  // best effort: the old file is untouched either way
  errno = error;
  return false;
}

}  // namespace platform::profile_file
