// The kind of file system on Windows: a network drive or share is remote.
#include "platform/FileSystemKind.h"

#include <string>

#include "platform/Path.h"
#include "platform/win32/Win32.h"

namespace platform {

const char* RemoteFileSystemName(uint64_t type) {
  static const struct {
    uint64_t type;
    const char* name;
  } kRemote[] = {
      {0x6969, "nfs"},           {0x517B, "smb"},        {0xFF534D42, "cifs"},
      {0xFE534D42, "smb2"},      {0x65735546, "fuse"},   {0x00C36400, "ceph"},
      {0x5346414F, "afs"},       {0x6B414653, "afs"},    {0x73757245, "coda"},
      {0x01021997, "9p"},        {0x01161970, "gfs2"},   {0x7461636F, "ocfs2"},
      {0x0BD00BD0, "lustre"},    {0x47504653, "gpfs"},   {0x564C, "ncp"},
  };
  for (const auto& remote : kRemote) {
    if (remote.type == type) return remote.name;
  }
  return nullptr;
}

const char* RemoteFileSystemOf(const char* directory) {
  const std::string native = win32::BackslashPath(NativeDirectory(directory));
  char full[MAX_PATH];
  char volume[MAX_PATH];
  if (GetFullPathNameA(native.c_str(), sizeof full, full, nullptr) == 0 ||
      !GetVolumePathNameA(full, volume, sizeof volume)) {
    return nullptr;
  }
  return GetDriveTypeA(volume) == DRIVE_REMOTE ? "smb" : nullptr;
}

}  // namespace platform
