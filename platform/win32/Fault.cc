// The part of the fault seam that asks the system: the path of a descriptor.
#include "platform/Fault.h"

#include <string>

#include "platform/win32/Win32.h"

namespace platform {

std::string DescriptorPath(int fd) {
  char target[4096];
  const DWORD n = GetFinalPathNameByHandleA(win32::HandleOf(fd), target, sizeof target,
                                            FILE_NAME_NORMALIZED);
  std::string path(target, n > 0 && n < sizeof target ? n : 0);
  // Armed fault fragments are written with forward slashes, as on every system.
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

}  // namespace platform
