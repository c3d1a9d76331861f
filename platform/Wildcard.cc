#include "platform/Wildcard.h"

#include <errno.h>

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
  if (dir_ != nullptr) closedir(dir_);
  dir_ = nullptr;
}

bool FileFinder::First(const char* pattern) {
  Close();
  if (pattern == nullptr || *pattern == '\0') return false;
  SplitPattern(pattern, &directory_, &name_pattern_);
  if (name_pattern_.empty()) return false;
  native_dir_ = NativeDirectory(directory_.c_str());
  dir_ = opendir(native_dir_.c_str());
  if (dir_ == nullptr) return false;  // a missing directory finds nothing
  return Next();
}

bool FileFinder::Next() {
  if (dir_ == nullptr) return false;
  while (struct dirent* entry = readdir(dir_)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
      continue;
    if (!WildcardMatch(name_pattern_.c_str(), entry->d_name)) continue;
    bool silent = false;
    if (const char* why = Refusal(*entry, &silent)) {
      if (!silent && refusal_handler_ != nullptr) {
        refusal_handler_(refusal_context_, directory_.c_str(), entry->d_name, why);
      }
      continue;
    }
    name_ = entry->d_name;
    return true;
  }
  return false;
}

bool ListNames(const char* directory,
               const std::function<void(const char* name, EntryKind kind)>& visit) {
  if (FaultInjected(FaultPoint::kList, directory)) return false;
  const std::string native = NativeDirectory(directory);
  DIR* dir = opendir(native.c_str());
  if (dir == nullptr) return false;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
      continue;
    visit(entry->d_name, ListedKind(*entry));
  }
  const int error = errno;  // a listing cut short by an error is no listing
  closedir(dir);
  errno = error;
  return error == 0;
}

}  // namespace platform
