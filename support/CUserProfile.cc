#include "support/CUserProfile.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Profile.h"

namespace qza {

namespace {

std::unique_ptr<char[]> CopyText(const char* text) {
  if (text == nullptr) return nullptr;
  size_t size = std::strlen(text) + 1;
  std::unique_ptr<char[]> copy(new char[size]);
  std::memcpy(copy.get(), text, size);
  return copy;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

CUserProfile::CUserProfile(const char* path, int open) : path_(CopyText(path)) {
  if (path_ && open) OpenProfile();
}

CUserProfile::~CUserProfile() = default;

CUserProfile::CUserProfile(const CUserProfile& other) : path_(CopyText(other.path_.get())) {}

CUserProfile& CUserProfile::operator=(const CUserProfile& other) {
  if (this != &other) path_ = CopyText(other.path_.get());
  return *this;
}

int CUserProfile::OpenProfile() { return 1; }

int CUserProfile::CloseProfile() { return 1; }

int CUserProfile::ReadProfileInt(const char* section, const char* key, long default_value,
                                 long* out) {
  if (out == nullptr) return 1;
  if (!path_) {
    *out = default_value;
    return 1;
  }
  *out = static_cast<long>(platform::ReadProfileInt(section, key, default_value, path_.get()));
  return 1;
}

int CUserProfile::WriteProfileInt(const char* section, const char* key, long value) {
  char text[24];  // "-9223372036854775808" and its terminator fit
  std::snprintf(text, sizeof text, "%ld", value);
  return WriteProfileStringA(section, key, text);
}

int CUserProfile::ReadProfileString(const char* section, const char* key,
                                    const char* default_text, unsigned long size,
                                    char* buffer) {
  if (!path_) {
    if (buffer == nullptr || size == 0) return 0;
    std::string value = default_text ? default_text : "";
    size_t n = value.size() < size - 1 ? value.size() : size - 1;
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return static_cast<int>(n);
  }
  return static_cast<int>(
      platform::ReadProfileString(section, key, default_text, buffer, size, path_.get()));
}

int CUserProfile::WriteProfileStringA(const char* section, const char* key, const char* text) {
  if (!path_) return 0;
  return platform::StoreProfileString(section, key, text, path_.get()).ok() ? 1 : 0;
}

int CUserProfile::ReadProfileData(const char* section, const char* key, unsigned long n,
                                  void* data) {
  std::string text(2 * n + 1, '\0');
  if (ReadProfileString(section, key, nullptr, 2 * n + 1, text.data()) == 0) return 0;
  auto* bytes = static_cast<unsigned char*>(data);
  for (unsigned long i = 0; i < n; ++i) {
    int high = HexDigit(text[2 * i]);
    int low = high < 0 ? -1 : HexDigit(text[2 * i + 1]);
    if (high < 0) {
      bytes[i] = 0;
    } else if (low < 0) {
      bytes[i] = static_cast<unsigned char>(high);  // a single digit, as %02X reads it
    } else {
      bytes[i] = static_cast<unsigned char>(high * 16 + low);
    }
  }
  return 1;
}

int CUserProfile::WriteProfileData(const char* section, const char* key, unsigned long n,
                                   const void* data) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * n);
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (unsigned long i = 0; i < n; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return WriteProfileStringA(section, key, text.c_str());
}

}  // namespace qza
