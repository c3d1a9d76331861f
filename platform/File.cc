// The portable part of the file calls: the reasons of failures as records
// and console lines name them.
#include "platform/File.h"

#include <errno.h>
#include <string.h>

#include <climits>
#include <cstdint>
#include <string>

#include "platform/Fault.h"
#include "platform/Path.h"

namespace platform {
namespace {

// WriteFileAtomically once the path text is checked: a new file beside the
// native path, renamed over it unless a fault is armed for the rename.
bool WriteNativeAtomically(const char* path, const std::string& native, const void* data,
                           size_t size) {
  std::string temp;
  if (!backend::WriteTemporary(native, data, size, &temp)) return false;
  if (FaultInjected(FaultPoint::kRename, path)) {
    backend::DropTemporary(temp);  // the failed write leaves nothing behind
    return false;
  }
  return backend::ReplaceByTemporary(temp, native);
}

}  // namespace

int FileOpen(const char* path, unsigned mode) {
  std::string native;
  if (!NativePathFor(FaultPoint::kOpen, path, &native)) return -1;
  return backend::OpenNamed(native, mode);
}

bool FileTruncateOrCreate(const char* path) {
  std::string native;
  if (!NativePathFor(FaultPoint::kOpen, path, &native)) return false;
  return backend::TruncateOrCreateFile(native);
}

int CreateUniqueFile(const char* directory, const char* prefix, std::string* path) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const std::string base =
      directory == nullptr || *directory == '\0' ? std::string() : std::string(directory) + "/";
  for (int attempt = 0; attempt < kUniqueFileTries; ++attempt) {
    unsigned char random[16];
    if (!backend::RandomBytes(random, sizeof random)) return -1;
    std::string name = base + prefix;
    for (unsigned char byte : random) name += kAlphabet[byte % (sizeof kAlphabet - 1)];
    std::string native;
    int fd = -1;
    if (NativePathFor(FaultPoint::kOpen, name.c_str(), &native)) {
      fd = backend::CreateNewFile(native);
    }
    if (fd >= 0) {
      *path = name;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

bool FileClose(int fd) {
  if (const int error = FaultForDescriptor(FaultPoint::kClose, fd)) {
    backend::CloseDescriptor(fd);
    errno = error;
    return false;
  }
  return backend::CloseDescriptor(fd);
}

int64_t FileSeek(int fd, int64_t offset, int origin) {
  if (origin < 0 || origin > 2 || (origin == 0 && (offset < 0 || offset > INT32_MAX))) {
    errno = EINVAL;
    return -1;
  }
  return backend::SeekDescriptor(fd, offset, origin);
}

int64_t FileRead(int fd, void* buffer, size_t size) {
  if (FaultInjected(FaultPoint::kRead, fd)) return -1;
  return backend::ReadDescriptor(fd, buffer, size);
}

int64_t FileWrite(int fd, const void* buffer, size_t size) {
  if (FaultInjected(FaultPoint::kWrite, fd)) return -1;
  return backend::WriteDescriptor(fd, buffer, size);
}

bool WriteFileAtomically(const char* path, const void* data, size_t size) {
  std::string native;
  if (!NativePathFor(FaultPoint::kOpen, path, &native)) return false;
  return WriteNativeAtomically(path, native, data, size);
}

bool RewriteFile(const char* path, const void* data, size_t size) {
  std::string native;
  if (!NativePathFor(FaultPoint::kOpen, path, &native)) return false;
  const int fd = backend::OpenForRewrite(native);
  if (fd < 0) return WriteNativeAtomically(path, native, data, size);
  return backend::RewriteOpenFile(fd, data, size);
}

PreparedFile::~PreparedFile() {
  if (fd_ >= 0) backend::CloseDescriptor(fd_);  // an unnamed file vanishes with it
}

bool PreparedFile::Prepare(const char* directory) {
  if (fd_ >= 0) return true;
  fd_ = backend::MakeUnnamedFile(NativeDirectory(directory));
  return fd_ >= 0;
}

bool PreparedFile::Publish(const char* path, const void* data, size_t size) {
  const int fd = fd_;
  fd_ = -1;
  if (fd < 0) {
    errno = ENOENT;
    return false;
  }
  std::string native;
  // The unnamed file has no name that a fault armed for the record could
  // match: both faults of writing a record are asked for by its path.
  if (!NativePathFor(FaultPoint::kOpen, path, &native) || FaultInjected(FaultPoint::kWrite, path)) {
    const int error = errno;
    backend::CloseDescriptor(fd);
    errno = error;
    return false;
  }
  return backend::PublishUnnamedFile(fd, native, data, size);
}

bool AppendToFile(const char* path, const void* data, size_t size, bool deny_writers) {
  std::string native;
  if (!NativePathFor(FaultPoint::kOpen, path, &native)) return false;
  return backend::AppendToNamedFile(native, data, size, deny_writers);
}

}  // namespace platform
