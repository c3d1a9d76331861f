#include "platform/Instance.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace platform {
namespace {

std::string SocketName() {
  char directory[PATH_MAX];
  std::string name = "qza_wdir:";
  if (getcwd(directory, sizeof directory) == nullptr) return name + "?";
  char real[PATH_MAX];
  const char* path = realpath(directory, real) ? real : directory;
  name += path;
  if (name.size() < sizeof(sockaddr_un::sun_path) - 1) return name;
  uint64_t hash = 14695981039346656037ull;  // FNV-1a over the whole path
  for (const char* p = path; *p != '\0'; ++p) {
    hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
  }
  char hashed[48];
  std::snprintf(hashed, sizeof hashed, "qza_wdir:#%016llx", static_cast<unsigned long long>(hash));
  return hashed;
}

}  // namespace

bool ClaimSingleInstance() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;  // cannot tell: do not refuse to run
  std::string name = SocketName();
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  // Abstract namespace: the name starts with a zero byte.
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) return true;  // kept open
  bool taken = errno == EADDRINUSE;
  close(fd);
  return !taken;
}

}  // namespace platform
