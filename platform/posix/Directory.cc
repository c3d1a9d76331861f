#include "platform/Directory.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/File.h"
#include "platform/FileSystem.h"

namespace platform {
namespace {

// Parents walked at most before a walk counts as failed (a loop of bind
// mounts, or a file system that answers ".." strangely).
constexpr int kMaxDepth = 4096;

FileIdentity IdentityOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), st.st_size,
          st.st_mtime};
}

// 1 + the index of the root that the directory is, or 0.
int RootOf(const struct stat& st, const std::vector<FileIdentity>& roots) {
  const FileIdentity self = IdentityOf(st);
  for (size_t i = 0; i < roots.size(); ++i) {
    if (roots[i].SameFile(self)) return static_cast<int>(i) + 1;
  }
  return 0;
}

// Closes a descriptor whose close loses nothing (a directory, or a file
// only read), keeping errno.
void Drop(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

// A name beside `name` that nobody can have foreseen: 12 random letters.
bool TemporaryName(const char* name, std::string* temp) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[12];
  size_t done = 0;
  while (done < sizeof random) {
    const ssize_t n = getrandom(random + done, sizeof random - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  *temp = std::string(".") + name + ".";
  for (unsigned char byte : random) *temp += kAlphabet[byte % (sizeof kAlphabet - 1)];
  *temp += ".tmp";
  return true;
}

}  // namespace

void Directory::Close() {
  if (handle_ != -1) Drop(static_cast<int>(handle_));
  handle_ = -1;
}

bool Directory::OpenNative(const std::string& native) {
  const int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

bool Directory::Identity(FileIdentity* identity) const {
  struct stat st;
  if (fstat(static_cast<int>(handle_), &st) != 0) return false;
  *identity = IdentityOf(st);
  return true;
}

int Directory::WithinAny(const std::vector<FileIdentity>& roots) const {
  int current = fcntl(static_cast<int>(handle_), F_DUPFD_CLOEXEC, 0);
  if (current < 0) return -1;
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    struct stat st;
    if (fstat(current, &st) != 0) {
      Drop(current);
      return -1;
    }
    if (const int root = RootOf(st, roots)) {
      Drop(current);
      return root;
    }
    const int parent = openat(current, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (parent < 0) {
      Drop(current);
      return -1;
    }
    Drop(current);
    struct stat up;
    if (fstat(parent, &up) != 0) {
      Drop(parent);
      return -1;
    }
    // The root is its own parent: nothing lies above it.
    if (up.st_dev == st.st_dev && up.st_ino == st.st_ino) {
      Drop(parent);
      return 0;
    }
    current = parent;
  }
  Drop(current);
  errno = ELOOP;
  return -1;
}

bool Directory::EntryExists(const char* name) const {
  struct stat st;
  return fstatat(static_cast<int>(handle_), name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool Directory::EntryReplaceable(const char* name) const {
  const int fd = static_cast<int>(handle_);
  struct stat st;
  if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (S_ISLNK(st.st_mode)) return true;
  return (st.st_mode & 0222) != 0 && faccessat(fd, name, W_OK, 0) == 0;
}

bool Directory::CopyToTemporary(const std::string& source, const char* name,
                                std::string* temp) const {
  const int dir = static_cast<int>(handle_);
  unsigned mode = 0;
  const int in = backend::OpenCopySource(source, &mode);
  if (in < 0) return false;
  int out = -1;
  for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
    if (!TemporaryName(name, temp)) break;
    out = openat(dir, temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0 && errno != EEXIST) break;
  }
  if (out < 0) {
    Drop(in);
    return false;
  }
  bool ok = fchmod(out, mode) == 0 && backend::CopyDescriptor(in, out);
  Drop(in);
  if (ok) {
    const Status closed = FileClose(out);
    ok = closed.ok();
    if (!ok) errno = closed.error();
  } else {
    Drop(out);
  }
  if (!ok) DropTemporary(*temp);
  return ok;
}

bool Directory::ReplaceByTemporary(const std::string& temp, const char* name) const {
  const int dir = static_cast<int>(handle_);
  if (renameat(dir, temp.c_str(), dir, name) == 0) return true;
  DropTemporary(temp);
  return false;
}

void Directory::DropTemporary(const std::string& temp) const {
  const int saved = errno;
  unlinkat(static_cast<int>(handle_), temp.c_str(), 0);  // the failed copy leaves nothing behind
  errno = saved;
}

bool Directory::RemoveNamed(const char* name) const {
  return unlinkat(static_cast<int>(handle_), name, 0) == 0;
}

}  // namespace platform
