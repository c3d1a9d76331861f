// Directory listings and the kinds of spool entries, from the directory
// entries and, where they do not tell, a status query without following a link.
#include "platform/Wildcard.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

namespace platform {

namespace {

EntryKind KindOfType(unsigned char type) {
  switch (type) {
    case DT_REG:
      return EntryKind::kRegular;
    case DT_DIR:
      return EntryKind::kDirectory;
    case DT_UNKNOWN:
      return EntryKind::kUnknown;
    default:
      return EntryKind::kOther;
  }
}

// The refusal of an entry whose kind is known.
const char* RefusalOfKind(const char* name, EntryKind kind, bool is_link, bool* silent) {
  *silent = false;
  if (kind == EntryKind::kDirectory) {
    *silent = true;
    return "a directory";
  }
  if (is_link) return "a symbolic link";
  if (kind != EntryKind::kRegular) return "not a regular file";
  for (const char* p = name; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\\') return "a backslash in its name";
    if (c < 0x20 || c == 0x7F) return "a control character in its name";
  }
  return nullptr;
}

// Asks the file system what the entry is, without following a link.
const char* RefusalByQuery(int dir_fd, const char* name, bool* silent) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *silent = true;  // gone meanwhile
    return "gone";
  }
  const EntryKind kind = S_ISREG(st.st_mode)   ? EntryKind::kRegular
                         : S_ISDIR(st.st_mode) ? EntryKind::kDirectory
                                               : EntryKind::kOther;
  return RefusalOfKind(name, kind, S_ISLNK(st.st_mode), silent);
}

}  // namespace

namespace backend {

struct Listing {
  DIR* dir;
};

Result<Listing*> OpenListing(const std::string& native) {
  DIR* dir = opendir(native.c_str());
  if (dir == nullptr) return LastFailure("list");
  return new Listing{dir};
}

bool NextEntry(Listing* listing, std::string* name, EntryKind* kind, Status* status) {
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(listing->dir);
    if (entry == nullptr) {
      if (errno != 0) *status = LastFailure("list");
      return false;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    *name = entry->d_name;
    *kind = KindOfType(entry->d_type);
    return true;
  }
}

const char* ListedEntryRefusal(Listing* listing, const std::string& name, EntryKind kind,
                               bool* silent) {
  // A listing tells links apart from other kinds of entry only as "other".
  if (kind == EntryKind::kUnknown || kind == EntryKind::kOther) {
    return RefusalByQuery(dirfd(listing->dir), name.c_str(), silent);
  }
  return RefusalOfKind(name.c_str(), kind, false, silent);
}

void CloseListing(Listing* listing) {
  closedir(listing->dir);  // a listing holds nothing to lose
  delete listing;
}

const char* SpoolEntryRefusalIn(const std::string& native, const char* name, EntryKind kind,
                                bool* silent) {
  if (kind == EntryKind::kUnknown || kind == EntryKind::kOther) {
    return RefusalByQuery(AT_FDCWD, (native + "/" + name).c_str(), silent);
  }
  return RefusalOfKind(name, kind, false, silent);
}

}  // namespace backend

}  // namespace platform
