#include "platform/Wildcard.h"

#include <cctype>
#include <cstring>

#include "platform/Fault.h"
#include "platform/Path.h"

namespace platform {
namespace {

bool SameLetter(char a, char b) {
  return std::tolower(static_cast<unsigned char>(a)) ==
         std::tolower(static_cast<unsigned char>(b));
}

}  // namespace

bool WildcardMatch(const char* pattern, const char* name) {
  // Iterative match with one backtrack point: the last `*` seen.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern != '\0' && (*pattern == '?' || SameLetter(*pattern, *name))) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

FileFinder::~FileFinder() { Close(); }

void FileFinder::Close() {
  if (listing_ != nullptr) backend::CloseListing(listing_);
  listing_ = nullptr;
}

bool FileFinder::First(const char* pattern) {
  Close();
  if (pattern == nullptr || *pattern == '\0') return false;
  SplitPattern(pattern, &directory_, &name_pattern_);
  if (name_pattern_.empty()) return false;
  Result<backend::Listing*> opened = backend::OpenListing(NativeDirectory(directory_.c_str()));
  if (!opened.ok()) return false;  // a missing directory finds nothing
  listing_ = opened.value();
  return Next();
}

bool FileFinder::Next() {
  if (listing_ == nullptr) return false;
  std::string name;
  EntryKind kind;
  Status ignored;  // a listing cut short finds what it found: the next scan lists again
  while (backend::NextEntry(listing_, &name, &kind, &ignored)) {
    if (!WildcardMatch(name_pattern_.c_str(), name.c_str())) continue;
    bool silent = false;
    if (const char* why = backend::ListedEntryRefusal(listing_, name, kind, &silent)) {
      if (!silent && refusal_handler_ != nullptr) {
        refusal_handler_(refusal_context_, directory_.c_str(), name.c_str(), why);
      }
      continue;
    }
    name_ = name;
    return true;
  }
  return false;
}

Status ListNames(const char* directory,
                 const std::function<void(const char* name, EntryKind kind)>& visit) {
  if (const Status fault = FaultStatus(FaultPoint::kList, "list", directory); !fault) {
    return fault;
  }
  Result<backend::Listing*> opened = backend::OpenListing(NativeDirectory(directory));
  if (!opened.ok()) return opened.status();
  std::string name;
  EntryKind kind;
  Status status;  // a listing cut short by an error is no listing
  while (backend::NextEntry(opened.value(), &name, &kind, &status)) visit(name.c_str(), kind);
  backend::CloseListing(opened.value());
  return status;
}

const char* SpoolEntryRefusal(const char* directory, const char* name, EntryKind kind,
                              bool* silent) {
  return backend::SpoolEntryRefusalIn(NativeDirectory(directory), name, kind, silent);
}

}  // namespace platform
