#include "support/Printable.h"

namespace qza {

namespace {

bool IsControl(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

}  // namespace

std::string Printable(const char* text) {
  std::string result = text != nullptr ? text : "";
  for (char& c : result) {
    if (IsControl(c)) c = '?';
  }
  return result;
}

bool HasControlCharacter(const char* text) {
  for (const char* p = text; p != nullptr && *p != '\0'; ++p) {
    if (IsControl(*p)) return true;
  }
  return false;
}

}  // namespace qza
