// The portable part of the open directory: path texts and fault checks.
#include "platform/Directory.h"

#include <errno.h>

#include <string>
#include <utility>

#include "platform/Fault.h"
#include "platform/Path.h"

namespace platform {

Directory::~Directory() { Close(); }

Directory::Directory(Directory&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)),
      text_(std::move(other.text_)),
      final_(std::move(other.final_)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, -1);
    text_ = std::move(other.text_);
    final_ = std::move(other.final_);
  }
  return *this;
}

std::string Directory::FaultKey(const char* name) const { return JoinPath(text_, name); }

Status Directory::Open(const char* text) {
  Close();
  text_ = text;
  const std::string native = NativeDirectory(text);
  if (Status fault = FaultStatus(FaultPoint::kOpen, "open", text); !fault.ok()) return fault;
  return OpenNative(native);
}

Status Directory::CopyInto(const char* from, const char* name) const {
  const std::string key = FaultKey(name);
  const std::string source = NativePath(from);
  if (source.empty()) return Status::Failure("open", ENOENT);
  if (Status fault = FaultStatus(FaultPoint::kOpen, "open", key.c_str()); !fault.ok()) {
    return fault;
  }
  std::string temp;
  if (Status copied = CopyToTemporary(source, name, &temp); !copied.ok()) return copied;
  if (Status fault = FaultStatus(FaultPoint::kRename, "rename", key.c_str()); !fault.ok()) {
    DropTemporary(temp);  // the failed copy leaves nothing behind
    return fault;
  }
  return ReplaceByTemporary(temp, name);
}

Status Directory::RemoveEntry(const char* name) const {
  const std::string key = FaultKey(name);
  if (Status fault = FaultStatus(FaultPoint::kUnlink, "remove", key.c_str()); !fault.ok()) {
    return fault;
  }
  return RemoveNamed(name);
}

}  // namespace platform
