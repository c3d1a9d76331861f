#include "platform/Path.h"

#include <cctype>
#include <cstring>

namespace platform {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Drops the trailing dots of a component as the Windows platform does;
// "." and ".." keep their meaning and a run of dots alone names ".".
std::string TrimComponent(const std::string& component) {
  if (component == "." || component == "..") return component;
  size_t end = component.size();
  while (end > 0 && component[end - 1] == '.') --end;
  if (end == 0) return ".";
  return component.substr(0, end);
}

// NativePath of what follows the drive or share.
std::string NativePathBelowRoot(const char* p) {
  std::string result;
  if (IsSeparator(*p)) result = "/";
  bool trailing_separator = false;
  while (*p != '\0') {
    while (IsSeparator(*p)) ++p;
    if (*p == '\0') {
      trailing_separator = true;
      break;
    }
    const char* start = p;
    while (*p != '\0' && !IsSeparator(*p)) ++p;
    if (!result.empty() && result.back() != '/') result += '/';
    result += TrimComponent(std::string(start, p - start));
  }
  if (result.empty()) return ".";  // a drive alone ("c:") or separators only
  if (trailing_separator && result.back() != '/') result += '/';
  return result;
}

}  // namespace

std::string NativePath(const char* text) {
  if (text == nullptr || *text == '\0') return std::string();
  const char* p = text;
  const std::string root = NativeRoot(&p);
  return root + NativePathBelowRoot(p);
}

std::string NativeDirectory(const char* text) {
  std::string native = NativePath(text);
  return native.empty() ? std::string(".") : native;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  return directory + ".\\" + name;
}

void SplitPattern(const char* text, std::string* directory, std::string* name) {
  const char* last = nullptr;
  for (const char* p = text; *p != '\0'; ++p) {
    if (IsSeparator(*p)) last = p;
  }
  if (last == nullptr) {
    directory->clear();
    *name = text;
    return;
  }
  directory->assign(text, last + 1 - text);
  *name = last + 1;
}

}  // namespace platform
