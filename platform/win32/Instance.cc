// Single instance on Windows: the lock file opened without sharing.
//
// While the service holds qza_wdir.lock open with no sharing, every other
// open of it fails with a sharing violation; the system closes the handle
// when the process ends in any way, TerminateProcess included, so nothing
// stale blocks the next start. The handle is not inherited by children. A
// link or junction at the name is refused (ELOOP), as is a directory.
#include "platform/Instance.h"

#include <errno.h>

#include <mutex>

#include "platform/win32/Win32.h"

namespace platform {
namespace {

std::mutex mutex;
HANDLE lock_handle = INVALID_HANDLE_VALUE;  // guarded by mutex; held for the life of the process

}  // namespace

Result<InstanceClaim> ClaimInstance() {
  std::lock_guard<std::mutex> lock(mutex);
  if (lock_handle != INVALID_HANDLE_VALUE) return InstanceClaim::kClaimed;
  HANDLE handle = CreateFileA(kInstanceLockFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)
      return InstanceClaim::kHeldByAnother;
    const Status failure = backend::LastFailure("claim");
    // A directory at the name cannot be opened as a file: say so, as on Linux.
    const DWORD attributes = GetFileAttributesA(kInstanceLockFile);
    const bool directory = code == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
                           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (directory) return Status::Failure("claim", EISDIR);
    return failure;
  }
  Status refused;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    refused = backend::LastFailure("claim");
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    refused = Status::Failure("claim", ELOOP);
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    refused = Status::Failure("claim", EISDIR);
  }
  if (!refused.ok()) {
    CloseHandle(handle);  // never written: nothing to lose
    return refused;
  }
  lock_handle = handle;
  return InstanceClaim::kClaimed;
}

bool ClaimSingleInstance() {
  const Result<InstanceClaim> claim = ClaimInstance();
  return claim.ok() && claim.value() == InstanceClaim::kClaimed;
}

}  // namespace platform
