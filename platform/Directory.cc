// The portable part of the open directory: path texts and fault checks.
#include "platform/Directory.h"

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

bool Directory::Open(const char* text) {
  Close();
  text_ = text;
  const std::string native = NativeDirectory(text);
  if (FaultInjected(FaultPoint::kOpen, text)) return false;
  return OpenNative(native);
}

bool Directory::CopyInto(const char* from, const char* name) const {
  const std::string key = FaultKey(name);
  std::string source;
  if (!NativePathOf(from, &source)) return false;
  if (FaultInjected(FaultPoint::kOpen, key.c_str())) return false;
  std::string temp;
  if (!CopyToTemporary(source, name, &temp)) return false;
  if (FaultInjected(FaultPoint::kRename, key.c_str())) {
    DropTemporary(temp);  // the failed copy leaves nothing behind
    return false;
  }
  return ReplaceByTemporary(temp, name);
}

bool Directory::RemoveEntry(const char* name) const {
  const std::string key = FaultKey(name);
  if (FaultInjected(FaultPoint::kUnlink, key.c_str())) return false;
  return RemoveNamed(name);
}

}  // namespace platform
