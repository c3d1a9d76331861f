// Directory listings and the kinds of spool entries on Windows, from the
// entries' attributes.
#include "platform/Wildcard.h"

#include <dirent.h>
#include <errno.h>

#include <cstring>
#include <string>

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

namespace backend {

// The run-time's readdir gives long names only (a pattern never matches an
// 8.3 short name here, as the matcher checks each name itself); the kind of
// an entry comes from its attributes, read without following a link.
struct Listing {
  DIR* dir;
  std::string native;
};

Result<Listing*> OpenListing(const std::string& native) {
  DIR* dir = opendir(native.c_str());
  if (dir == nullptr) return Status::Failure("list", errno);
  return new Listing{dir, native};
}

bool NextEntry(Listing* listing, std::string* name, EntryKind* kind, Status* status) {
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(listing->dir);
    if (entry == nullptr) {
      if (errno != 0) *status = Status::Failure("list", errno);
      return false;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    *name = entry->d_name;
    *kind = EntryKind::kUnknown;  // the attributes tell, when asked
    return true;
  }
}

const char* ListedEntryRefusal(Listing* listing, const std::string& name, EntryKind, bool* silent) {
  return RefusalOfPath(Joined(listing->native, name.c_str()), name.c_str(), silent);
}

void CloseListing(Listing* listing) {
  closedir(listing->dir);  // a listing holds nothing to lose
  delete listing;
}

const char* SpoolEntryRefusalIn(const std::string& native, const char* name, EntryKind,
                                bool* silent) {
  return RefusalOfPath(Joined(native, name), name, silent);
}

}  // namespace backend

}  // namespace platform
