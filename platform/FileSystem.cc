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

int StatPath(const char* path, FileStatus* status) {
  std::string native;
  if (!NativePathOf(path, &native)) return -1;
  return backend::StatNative(native, status);
}

bool PathExists(const char* path) {
  const std::string native = NativePath(path);
  return !native.empty() && backend::NativeExists(native);
}

bool PathWritable(const char* path) {
  std::string native;
  return NativePathOf(path, &native) && backend::NativeWritable(native);
}

bool CopyFileReplacing(const char* from, const char* to) {
  std::string source;
  std::string target;
  if (!NativePathOf(from, &source) || !NativePathOf(to, &target)) return false;
  if (FaultInjected(FaultPoint::kOpen, to)) return false;
  std::string temp;
  if (!backend::CopyToTemporary(source, target, &temp)) return false;
  if (FaultInjected(FaultPoint::kRename, to)) {
    backend::DropTemporary(temp);  // the failed copy leaves nothing behind
    return false;
  }
  const Status replaced = backend::ReplaceByTemporary(temp, target);
  if (!replaced.ok()) errno = replaced.error();
  return replaced.ok();
}

bool RemoveFile(const char* path) {
  std::string native;
  return NativePathFor(FaultPoint::kUnlink, path, &native) && backend::RemoveNative(native);
}

bool RenameFile(const char* from, const char* to) {
  std::string source;
  std::string target;
  if (!NativePathOf(from, &source) || !NativePathOf(to, &target)) return false;
  if (FaultInjected(FaultPoint::kRename, from)) return false;
  return backend::RenameNoReplace(source, target);
}

}  // namespace platform
