// Path texts on Windows: drives and shares are kept.
#include "platform/Path.h"

#include <cctype>
#include <string>

namespace platform {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::string NativeRoot(const char** text) {
  const char* p = *text;
  if (std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') {
    *text += 2;
    return std::string(p, 2);
  }
  if (IsSeparator(p[0]) && IsSeparator(p[1]) && p[2] != '\0' && !IsSeparator(p[2])) {
    *text += 1;  // the rest, "\server\share", begins with the second separator
    return "/";
  }
  return std::string();
}

}  // namespace platform
