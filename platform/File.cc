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
Status WriteNativeAtomically(const char* path, const std::string& native, const void* data,
                             size_t size) {
  std::string temp;
  if (Status written = backend::WriteTemporary(native, data, size, &temp); !written.ok()) {
    return written;
  }
  if (Status fault = FaultStatus(FaultPoint::kRename, "rename", path); !fault.ok()) {
    backend::DropTemporary(temp);  // the failed write leaves nothing behind
    return fault;
  }
  return backend::ReplaceByTemporary(temp, native);
}

}  // namespace

Result<int> FileOpen(const char* path, unsigned mode) {
  std::string native;
  if (Status checked = CheckedNativePath(FaultPoint::kOpen, "open", path, &native); !checked.ok()) {
    return checked;
  }
  return backend::OpenNamed(native, mode);
}

Status FileTruncateOrCreate(const char* path) {
  std::string native;
  if (Status checked = CheckedNativePath(FaultPoint::kOpen, "open", path, &native); !checked.ok()) {
    return checked;
  }
  return backend::TruncateOrCreateFile(native);
}

Result<int> CreateUniqueFile(const char* directory, const char* prefix, std::string* path) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const std::string base =
      directory == nullptr || *directory == '\0' ? std::string() : std::string(directory) + "/";
  for (int attempt = 0; attempt < kUniqueFileTries; ++attempt) {
    unsigned char random[16];
    if (Status drawn = backend::RandomBytes(random, sizeof random); !drawn.ok()) return drawn;
    std::string name = base + prefix;
    for (unsigned char byte : random) name += kAlphabet[byte % (sizeof kAlphabet - 1)];
    std::string native;
    Status checked = CheckedNativePath(FaultPoint::kOpen, "create", name.c_str(), &native);
    if (checked.ok()) {
      Result<int> created = backend::CreateNewFile(native);
      if (created.ok()) {
        *path = name;
        return created;
      }
      checked = created.status();
    }
    if (checked.error() != EEXIST) return checked;
  }
  return Status::Failure("create", EEXIST);
}

Status FileClose(int fd) {
  if (Status fault = FaultStatus(FaultPoint::kClose, "close", fd); !fault.ok()) {
    // The descriptor goes either way; the injected failure is what counts.
    (void)backend::CloseDescriptor(fd);
    return fault;
  }
  return backend::CloseDescriptor(fd);
}

Result<int64_t> FileSeek(int fd, int64_t offset, int origin) {
  if (origin < 0 || origin > 2 || (origin == 0 && (offset < 0 || offset > INT32_MAX))) {
    return Status::Failure("seek", EINVAL);
  }
  return backend::SeekDescriptor(fd, offset, origin);
}

Result<int64_t> FileRead(int fd, void* buffer, size_t size) {
  if (Status fault = FaultStatus(FaultPoint::kRead, "read", fd); !fault.ok()) return fault;
  return backend::ReadDescriptor(fd, buffer, size);
}

Result<int64_t> FileWrite(int fd, const void* buffer, size_t size) {
  if (Status fault = FaultStatus(FaultPoint::kWrite, "write", fd); !fault.ok()) return fault;
  return backend::WriteDescriptor(fd, buffer, size);
}

Status WriteFileAtomically(const char* path, const void* data, size_t size) {
  std::string native;
  if (Status checked = CheckedNativePath(FaultPoint::kOpen, "open", path, &native); !checked.ok()) {
    return checked;
  }
  return WriteNativeAtomically(path, native, data, size);
}

Status RewriteFile(const char* path, const void* data, size_t size) {
  std::string native;
  if (Status checked = CheckedNativePath(FaultPoint::kOpen, "open", path, &native); !checked.ok()) {
    return checked;
  }
  const int fd = backend::OpenForRewrite(native);
  if (fd < 0) return WriteNativeAtomically(path, native, data, size);
  return backend::RewriteOpenFile(fd, data, size);
}

PreparedFile::~PreparedFile() {
  // An unnamed file vanishes with its descriptor; nothing was written to it.
  if (fd_ >= 0) (void)backend::CloseDescriptor(fd_);
}

Status PreparedFile::Prepare(const char* directory) {
  if (fd_ >= 0) return Status();
  Result<int> made = backend::MakeUnnamedFile(NativeDirectory(directory));
  if (!made.ok()) return made.status();
  fd_ = made.value();
  return Status();
}

Status PreparedFile::Publish(const char* path, const void* data, size_t size) {
  const int fd = fd_;
  fd_ = -1;
  if (fd < 0) return Status::Failure("open", ENOENT);
  std::string native;
  // The unnamed file has no name that a fault armed for the record could
  // match: both faults of writing a record are asked for by its path.
  Status checked = CheckedNativePath(FaultPoint::kOpen, "open", path, &native);
  if (checked.ok()) checked = FaultStatus(FaultPoint::kWrite, "write", path);
  if (!checked.ok()) {
    // Nothing was written to the unnamed file: it vanishes with the close.
    (void)backend::CloseDescriptor(fd);
    return checked;
  }
  return backend::PublishUnnamedFile(fd, native, data, size);
}

Status AppendToFile(const char* path, const void* data, size_t size, bool deny_writers) {
  std::string native;
  if (Status checked = CheckedNativePath(FaultPoint::kOpen, "open", path, &native); !checked.ok()) {
    return checked;
  }
  return backend::AppendToNamedFile(native, data, size, deny_writers);
}

}  // namespace platform
