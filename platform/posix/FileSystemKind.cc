// The kind of file system on POSIX systems: statfs tells its type.
#include "platform/FileSystemKind.h"

#include <sys/vfs.h>

#include <cstdint>
#include <string>

namespace platform::backend {

const char* RemoteFileSystemOfNative(const std::string& native) {
  struct statfs info;
  if (statfs(native.c_str(), &info) != 0) return nullptr;
  return RemoteFileSystemName(static_cast<uint64_t>(static_cast<uint32_t>(info.f_type)));
}

}  // namespace platform::backend
