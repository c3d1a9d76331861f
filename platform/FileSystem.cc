// The portable part of the file-system calls: path texts and fault checks.
#include "platform/FileSystem.h"

#include <errno.h>

#include <string>

#include "platform/Fault.h"
#include "platform/File.h"
#include "platform/Path.h"

namespace platform {

bool IdentityOfRegularEntry(const char* path, FileIdentity* identity) {
  const std::string native = NativePath(path);
  return !native.empty() && backend::IdentityOfRegularNative(native, identity);
}

Status StatPath(const char* path, FileStatus* status) {
  const std::string native = NativePath(path);
  if (native.empty()) return Status::Failure("stat", ENOENT);
  return backend::StatNative(native, status);
}

bool PathExists(const char* path) {
  const std::string native = NativePath(path);
  return !native.empty() && backend::NativeExists(native);
}

bool PathWritable(const char* path) {
  const std::string native = NativePath(path);
  return !native.empty() && backend::NativeWritable(native);
}

Status CopyFileReplacing(const char* from, const char* to) {
  const std::string source = NativePath(from);
  std::string target;
  if (source.empty()) return Status::Failure("open", ENOENT);
  if (Status checked = CheckedNativePath(FaultPoint::kOpen, "open", to, &target); !checked.ok()) {
    return checked;
  }
  std::string temp;
  if (Status copied = backend::CopyToTemporary(source, target, &temp); !copied.ok()) {
    return copied;
  }
  if (Status fault = FaultStatus(FaultPoint::kRename, "rename", to); !fault.ok()) {
    backend::DropTemporary(temp);  // the failed copy leaves nothing behind
    return fault;
  }
  return backend::ReplaceByTemporary(temp, target);
}

Status RemoveFile(const char* path) {
  std::string native;
  if (Status checked = CheckedNativePath(FaultPoint::kUnlink, "remove", path, &native);
      !checked.ok()) {
    return checked;
  }
  return backend::RemoveNative(native);
}

Status RenameFile(const char* from, const char* to) {
  const std::string target = NativePath(to);
  std::string source;
  if (target.empty()) return Status::Failure("rename", ENOENT);
  if (Status checked = CheckedNativePath(FaultPoint::kRename, "rename", from, &source);
      !checked.ok()) {
    return checked;
  }
  return backend::RenameNoReplace(source, target);
}

}  // namespace platform
