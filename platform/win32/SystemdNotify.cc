// The readiness and liveness reports on Windows: there is no systemd (the
// service control manager hears of them through platform/Service.h), only the
// heartbeat file.
#include "platform/SystemdNotify.h"

#include "platform/win32/Win32.h"

namespace platform {
namespace backend {

void SendToSystemd(const char*) {}

Status TouchHeartbeat(const char* path) {
  HANDLE file = CreateFileA(path, FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastFailure("touch");
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const Status touched =
      SetFileTime(file, nullptr, nullptr, &now) ? Status() : LastFailure("touch");
  CloseHandle(file);  // only attributes were written: nothing to lose
  return touched;
}

uint32_t SystemdPingMs() { return 0; }

}  // namespace backend
}  // namespace platform
