// Windows: a failure's error number is the thread's last error code,
// translated to its errno value.
#include "platform/Status.h"

#include <windows.h>

#include "platform/win32/Win32.h"

namespace platform::backend {

Status LastFailure(const char* operation) {
  return Status::Failure(operation, win32::ErrnoFromError(GetLastError()));
}

}  // namespace platform::backend
