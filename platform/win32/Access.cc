// What the configuration check asks of the file system, on Windows. Access
// control lists are not examined: who else may write a file is not told, and
// a directory counts as writable when it exists and is a directory.
#include "platform/Access.h"

#include <errno.h>

#include "platform/win32/Win32.h"

namespace platform {

namespace backend {

Status DirectoryProblemOf(const std::string& native, bool) {
  const DWORD attributes = GetFileAttributesA(native.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastFailure("stat");
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return Status::Failure("stat", ENOTDIR);
  return Status();
}

std::string OtherWritersOf(const std::string&) { return ""; }

Status ChangeWorkingDirectoryTo(const std::string& native) {
  return SetCurrentDirectoryA(native.c_str()) ? Status() : LastFailure("chdir");
}

}  // namespace backend

bool RunsAsRoot() { return false; }

std::string ProcessUserName() {
  char name[257];
  DWORD size = sizeof name;
  if (!GetUserNameA(name, &size)) return "this user";
  return name;
}

}  // namespace platform
