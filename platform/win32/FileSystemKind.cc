// The kind of file system on Windows: the drive type of its volume.
#include "platform/FileSystemKind.h"

#include <string>

#include "platform/win32/Win32.h"

namespace platform::backend {

// A network drive or share is remote.
const char* RemoteFileSystemOfNative(const std::string& native_directory) {
  const std::string native = win32::BackslashPath(native_directory);
  char full[MAX_PATH];
  char volume[MAX_PATH];
  if (GetFullPathNameA(native.c_str(), sizeof full, full, nullptr) == 0 ||
      !GetVolumePathNameA(full, volume, sizeof volume)) {
    return nullptr;
  }
  return GetDriveTypeA(volume) == DRIVE_REMOTE ? "smb" : nullptr;
}

}  // namespace platform::backend
