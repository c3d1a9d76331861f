// Wildcard file enumeration.
//
// The directory of a pattern is everything up to its last separator; the rest
// is matched against the names in that directory: `*` matches any run of
// characters (also none), `?` exactly one character, and letters compare
// without regard to ASCII case. `.`, `..` and directories are never returned.
// A missing directory, an empty pattern or a pattern without a match gives no
// name and no message.
//
// Spool directories are written by other programs, some of them hostile, so
// the finder returns only regular files, judged without following a link, with
// names that Windows could have made: a matching symbolic link, FIFO, socket or
// device, and a name holding a backslash or a control character, is passed
// over and handed to the refusal handler, if one is set. Directories are
// passed over silently. The finer quirks of the Windows matcher are not
// emulated: there are no 8.3 short names, a trailing `?` needs a character,
// and `*.*` matches only names that hold a dot.
#ifndef QZA_PLATFORM_WILDCARD_H_
#define QZA_PLATFORM_WILDCARD_H_

#include <functional>
#include <string>

#include "platform/Status.h"

namespace platform {

// What a directory entry is, as far as the listing tells without a query.
enum class EntryKind { kRegular, kDirectory, kOther, kUnknown };

// Calls `visit` with every name in the directory named by the path text
// (without "." and ".."), in the order the file system gives, and its kind.
// A failure when the directory cannot be read, or not to its end (a fault
// armed at FaultPoint::kList for the path text too); the names visited
// before then were visited all the same.
Status ListNames(const char* directory,
                 const std::function<void(const char* name, EntryKind kind)>& visit);

// Why the entry `name` of the directory named by the path text is no spool
// file ("a symbolic link", "not a regular file", "a backslash in its name",
// "a control character in its name"), or null when it is one. `kind` is what
// a listing told (kUnknown: ask the file system, without following a link).
// *silent is set for a directory and for an entry that is gone: those are
// passed over without a word.
const char* SpoolEntryRefusal(const char* directory, const char* name, EntryKind kind,
                              bool* silent);

// True when `name` matches the wildcard `pattern` (no separators in either).
bool WildcardMatch(const char* pattern, const char* name);

namespace backend {
struct Listing;  // an open directory listing, one kind per system
}  // namespace backend

// Enumerates the files that match a pattern text. One object is reused for
// every scan: First starts a new enumeration (closing any earlier one), Next
// moves on, Close ends it. Name is valid until the next call.
class FileFinder {
 public:
  // Told of each matching entry that is passed over: the directory part of the
  // pattern, the name, and why (a short text).
  using RefusalHandler = void (*)(void* context, const char* directory, const char* name,
                                  const char* why);

  FileFinder() = default;
  ~FileFinder();
  FileFinder(const FileFinder&) = delete;
  FileFinder& operator=(const FileFinder&) = delete;

  // Returns true and makes Name the first match, or false when none matches.
  bool First(const char* pattern);
  // Returns true and makes Name the next match, or false when there is none.
  bool Next();
  void Close();
  const char* Name() const { return name_.c_str(); }
  void SetRefusalHandler(RefusalHandler handler, void* context) {
    refusal_handler_ = handler;
    refusal_context_ = context;
  }

 private:
  RefusalHandler refusal_handler_ = nullptr;
  void* refusal_context_ = nullptr;
  backend::Listing* listing_ = nullptr;
  std::string directory_;
  std::string name_pattern_;
  std::string name_;
};

// The back end's part, one per system, under the calls above: listings of a
// native directory and the kinds of their entries. The front
// (platform/Wildcard.cc) converts the path text once and matches the names.
namespace backend {

// Opens the listing of the native directory.
Result<Listing*> OpenListing(const std::string& native);
// The next entry other than "." and "..", with its kind as far as the listing
// tells. False at the end, and after a failed read, which *status then holds.
bool NextEntry(Listing* listing, std::string* name, EntryKind* kind, Status* status);
// SpoolEntryRefusal for the entry that NextEntry just gave.
const char* ListedEntryRefusal(Listing* listing, const std::string& name, EntryKind kind,
                               bool* silent);
void CloseListing(Listing* listing);
// SpoolEntryRefusal for an entry of the native directory.
const char* SpoolEntryRefusalIn(const std::string& native, const char* name, EntryKind kind,
                                bool* silent);

}  // namespace backend

}  // namespace platform

#endif  // QZA_PLATFORM_WILDCARD_H_
