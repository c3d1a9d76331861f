// What the configuration check asks of the file system, on Windows. Access
// control lists are not examined: who else may write a file is not told, and
// a directory counts as writable when it exists and is a directory.
#include "platform/Access.h"

#include <errno.h>

#include "platform/Path.h"
#include "platform/win32/Win32.h"

namespace platform {

int DirectoryProblem(const char* path, bool) {
  const std::string native = NativeDirectory(path);
  const DWORD attributes = GetFileAttributesA(native.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return win32::ErrnoFromError(GetLastError());
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : ENOTDIR;
}

std::string OtherWriters(const char*) { return ""; }

bool RunsAsRoot() { return false; }

std::string ProcessUserName() {
  char name[257];
  DWORD size = sizeof name;
  if (!GetUserNameA(name, &size)) return "this user";
  return name;
}

int ChangeWorkingDirectory(const char* path) {
  const std::string native = NativeDirectory(path);
  return SetCurrentDirectoryA(native.c_str()) ? 0 : win32::ErrnoFromError(GetLastError());
}

bool IsAbsolutePathText(const char* text) {
  if (text[0] == '/' || text[0] == '\\') return true;
  const bool letter = (text[0] >= 'a' && text[0] <= 'z') || (text[0] >= 'A' && text[0] <= 'Z');
  return letter && text[1] == ':' && (text[2] == '\\' || text[2] == '/');
}

}  // namespace platform
