// The readiness and liveness reports on Windows: there is no systemd (the
// service control manager hears of them through platform/Service.h), only the
// heartbeat file.
#include "platform/SystemdNotify.h"

#include <string>

#include "platform/win32/Win32.h"

namespace platform {
namespace {

// Sets the modification time of the file at `path` to now, creating it where
// it is missing, never through a link. 0, or the Windows error code.
int Touch(const char* path) {
  HANDLE file = CreateFileA(path, FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const int error = SetFileTime(file, nullptr, nullptr, &now) ? 0 : GetLastError();
  CloseHandle(file);  // only attributes were written: nothing to lose
  return error;
}

}  // namespace

void SendToSystemd(const char*) {}

bool TouchHeartbeat(const char* path, std::string* reason) {
  const int error = Touch(path);
  if (error != 0) *reason = "Windows error " + std::to_string(error);
  return error == 0;
}

uint32_t SystemdPingMs() { return 0; }

}  // namespace platform
