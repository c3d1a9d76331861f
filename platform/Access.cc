// The portable part of the access checks: path texts.
#include "platform/Access.h"

#include <string>

#include "platform/Path.h"

namespace platform {

Status DirectoryProblem(const char* path, bool write) {
  return backend::DirectoryProblemOf(NativeDirectory(path), write);
}

std::string OtherWriters(const char* path) {
  return backend::OtherWritersOf(NativeDirectory(path));
}

Status ChangeWorkingDirectory(const char* path) {
  return backend::ChangeWorkingDirectoryTo(NativeDirectory(path));
}

bool IsAbsolutePathText(const char* text) {
  if (text[0] == '/' || text[0] == '\\') return true;
  // A drive letter counts as a root: Linux drops it ("c:\svox\" names /svox/).
  const bool letter = (text[0] >= 'a' && text[0] <= 'z') || (text[0] >= 'A' && text[0] <= 'Z');
  return letter && text[1] == ':' && (text[2] == '\\' || text[2] == '/');
}

}  // namespace platform
