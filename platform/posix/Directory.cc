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
// only read).
void Drop(int fd) { close(fd); }

// A name beside `name` that nobody can have foreseen: 12 random letters.
Status TemporaryName(const char* name, std::string* temp) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[12];
  size_t done = 0;
  while (done < sizeof random) {
    const ssize_t n = getrandom(random + done, sizeof random - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return backend::LastFailure("random");
    done += static_cast<size_t>(n);
  }
  *temp = std::string(".") + name + ".";
  for (unsigned char byte : random) *temp += kAlphabet[byte % (sizeof kAlphabet - 1)];
  *temp += ".tmp";
  return Status();
}

// The identity of the open directory `fd`, its status in *st.
Status StatOpen(int fd, struct stat* st) {
  if (fstat(fd, st) != 0) return backend::LastFailure("stat");
  return Status();
}

}  // namespace

void Directory::Close() {
  if (handle_ != -1) Drop(static_cast<int>(handle_));
  handle_ = -1;
}

Status Directory::OpenNative(const std::string& native) {
  const int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return backend::LastFailure("open");
  handle_ = fd;
  return Status();
}

Status Directory::Identity(FileIdentity* identity) const {
  struct stat st;
  if (Status stated = StatOpen(static_cast<int>(handle_), &st); !stated.ok()) return stated;
  *identity = IdentityOf(st);
  return Status();
}

Result<int> Directory::WithinAny(const std::vector<FileIdentity>& roots) const {
  int current = fcntl(static_cast<int>(handle_), F_DUPFD_CLOEXEC, 0);
  if (current < 0) return backend::LastFailure("open");
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    struct stat st;
    if (Status stated = StatOpen(current, &st); !stated.ok()) {
      Drop(current);
      return stated;
    }
    if (const int root = RootOf(st, roots)) {
      Drop(current);
      return root;
    }
    const int parent = openat(current, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (parent < 0) {
      const Status failure = backend::LastFailure("open");
      Drop(current);
      return failure;
    }
    Drop(current);
    struct stat up;
    if (Status stated = StatOpen(parent, &up); !stated.ok()) {
      Drop(parent);
      return stated;
    }
    // The root is its own parent: nothing lies above it.
    if (up.st_dev == st.st_dev && up.st_ino == st.st_ino) {
      Drop(parent);
      return 0;
    }
    current = parent;
  }
  Drop(current);
  return Status::Failure("open", ELOOP);
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

Status Directory::CopyToTemporary(const std::string& source, const char* name,
                                  std::string* temp) const {
  const int dir = static_cast<int>(handle_);
  unsigned mode = 0;
  const Result<int> in = backend::OpenCopySource(source, &mode);
  if (!in.ok()) return in.status();
  int out = -1;
  Status status;
  for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
    status = TemporaryName(name, temp);
    if (!status.ok()) break;
    out = openat(dir, temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) status = backend::LastFailure("create");
    if (out < 0 && status.error() != EEXIST) break;
  }
  if (out < 0) {
    Drop(in.value());
    return status;
  }
  if (fchmod(out, mode) != 0) {
    status = backend::LastFailure("chmod");
  } else {
    status = backend::CopyDescriptor(in.value(), out);
  }
  Drop(in.value());
  if (status.ok()) {
    status = FileClose(out);
  } else {
    Drop(out);  // the copy failed already: nothing more to lose
  }
  if (!status.ok()) DropTemporary(*temp);
  return status;
}

Status Directory::ReplaceByTemporary(const std::string& temp, const char* name) const {
  const int dir = static_cast<int>(handle_);
  if (renameat(dir, temp.c_str(), dir, name) == 0) return Status();
  const Status failure = backend::LastFailure("rename");
  DropTemporary(temp);
  return failure;
}

void Directory::DropTemporary(const std::string& temp) const {
  unlinkat(static_cast<int>(handle_), temp.c_str(), 0);  // the failed copy leaves nothing behind
}

Status Directory::RemoveNamed(const char* name) const {
  if (unlinkat(static_cast<int>(handle_), name, 0) != 0) return backend::LastFailure("remove");
  return Status();
}

}  // namespace platform
