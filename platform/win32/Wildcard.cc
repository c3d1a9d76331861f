// Directory listings and the kinds of spool entries on Windows, from the
// entries' attributes.
#include <cstring>
#include <string>

#include "platform/Path.h"
#include "platform/Wildcard.h"
#include "platform/win32/Win32.h"

namespace platform {

namespace {

// What the entry `native` is, from its attributes, read without following a
// link; the refusal as SpoolEntryRefusal tells it.
const char* RefusalOfPath(const std::string& native, const char* name, bool* silent) {
  *silent = false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(native.c_str(), GetFileExInfoStandard, &data)) {
    *silent = true;  // gone meanwhile
    return "gone";
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    *silent = true;
    return "a directory";
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return "a symbolic link";
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return "not a regular file";
  for (const char* p = name; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) return "a control character in its name";
  }
  return nullptr;
}

std::string Joined(const std::string& directory, const char* name) {
  return directory + (directory.empty() || directory.back() == '/' ? "" : "/") + name;
}

}  // namespace

// The entries of a Windows listing carry no kind: the attributes tell, when
// asked.
EntryKind ListedKind(const struct dirent&) { return EntryKind::kUnknown; }

const char* SpoolEntryRefusal(const char* directory, const char* name, EntryKind,
                              bool* silent) {
  return RefusalOfPath(Joined(NativeDirectory(directory), name), name, silent);
}

// The run-time's readdir gives long names only (a pattern never matches an
// 8.3 short name here, as the matcher above checks each name itself); the
// kind of entry comes from its attributes, read without following a link.
const char* FileFinder::Refusal(const struct dirent& entry, bool* silent) {
  return RefusalOfPath(Joined(native_dir_, entry.d_name), entry.d_name, silent);
}

}  // namespace platform
