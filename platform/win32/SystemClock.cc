// The system's clocks and sleep on Windows.
#include "platform/SystemClock.h"

#include "platform/win32/Win32.h"

namespace platform {

int64_t SystemClock() { return static_cast<int64_t>(time(nullptr)); }

// GetTickCount64 counts from the boot and goes on while the machine sleeps.
int64_t SystemMonotonicClock() { return static_cast<int64_t>(GetTickCount64() / 1000); }

void SystemSleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

struct tm SystemLocalTime(time_t t) {  // time_t has 64 bits with mingw-w64
  struct tm result {};
  localtime_s(&result, &t);
  return result;
}

int64_t SystemMonotonicMilliseconds() { return static_cast<int64_t>(GetTickCount64()); }

}  // namespace platform
