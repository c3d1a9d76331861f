#include "platform/FileSystemKind.h"

#include "platform/Path.h"

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
  return backend::RemoteFileSystemOfNative(NativeDirectory(directory));
}

}  // namespace platform
