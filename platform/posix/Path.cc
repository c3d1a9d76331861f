// Path texts on POSIX systems: there are no drives or shares.
#include "platform/Path.h"

#include <cctype>
#include <string>

namespace platform {

// A drive letter and its colon are dropped: "c:\svox\" names "/svox/".
std::string NativeRoot(const char** text) {
  const char* p = *text;
  if (std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') *text += 2;
  return std::string();
}

}  // namespace platform
