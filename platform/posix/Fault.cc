// The part of the fault seam that asks the system: the path of a descriptor.
#include "platform/Fault.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace platform {

std::string DescriptorPath(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t n = readlink(link, target, sizeof target - 1);
  return std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace platform
