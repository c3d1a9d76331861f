// Process set-up and the stop request on Windows.
//
// The stop request comes from the console's control events (Ctrl+C,
// Ctrl+Break, closing the console, log-off, shut-down), handled on a thread
// of the system's: the first one records the request and sets the stop event
// that the change notification's wait watches beside the directory; a second
// one is passed on to the default handler, which ends the process at once.
#include "platform/Startup.h"

#include <errno.h>

#include <atomic>
#include <mutex>

#include "platform/Console.h"
#include "platform/win32/Win32.h"

namespace platform {
namespace {

std::atomic<bool> stop_requested{false};
std::atomic<bool> handlers_installed{false};

// Gives each missing standard handle one on NUL, so that nothing the service
// opens later is mistaken for it.
Status OpenMissingStandardHandles() {
  static const DWORD kStandard[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (DWORD which : kStandard) {
    HANDLE current = GetStdHandle(which);
    if (current != nullptr && current != INVALID_HANDLE_VALUE) continue;
    HANDLE null = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (null == INVALID_HANDLE_VALUE) return backend::LastFailure("open");
    SetStdHandle(which, null);
  }
  return Status();
}

BOOL WINAPI OnControlEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      if (stop_requested.load()) return FALSE;  // the second one: the default ends us
      RequestStop();
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

Status PrepareProcess() {
  const Status opened = OpenMissingStandardHandles();
  if (!opened.ok()) return opened;
  IgnoreServiceSignals();
  StartConsoleWriter();  // when it cannot start, Print writes in the caller
  return Status();
}

Status InstallStopHandlers() {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  if (handlers_installed.load()) return Status();
  if (win32::StopEvent() == nullptr) return backend::LastFailure("signal");
  if (!SetConsoleCtrlHandler(&OnControlEvent, TRUE)) return backend::LastFailure("signal");
  handlers_installed.store(true);
  return Status();
}

bool StopRequested() { return stop_requested.load(); }

void RequestStop() {
  stop_requested.store(true);
  if (HANDLE event = win32::StopEvent()) SetEvent(event);
}

void ResetStopRequest() {
  stop_requested.store(false);
  if (HANDLE event = win32::StopEvent()) ResetEvent(event);
}

// There is no descriptor on Windows: the waits watch the stop event instead.
int StopDescriptor() { return handlers_installed.load() ? 0 : -1; }

}  // namespace platform
