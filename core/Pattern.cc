#include "core/Pattern.h"

#include <cstdio>
#include <cstring>

namespace qza {

bool IsServerNumberFormat(const char* pattern) {
  int conversions = 0;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) ++p;
    // A width or precision is refused: digits, '.' or '*' fail here.
    if (*p != 'i' && *p != 'd') return false;
    if (++conversions > 1) return false;
  }
  return true;
}

bool FormatServerPattern(const char* pattern, int number, char* out, size_t size) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int length = std::snprintf(out, size, pattern, number);
#pragma GCC diagnostic pop
  if (length < 0 || static_cast<size_t>(length) >= size) {
    if (size > 0) out[0] = '\0';
    return false;
  }
  return true;
}

}  // namespace qza
