#include "platform/Profile.h"

#include <errno.h>
#include <strings.h>

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/Path.h"
#include "platform/ProfileFile.h"

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameName(std::string_view a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

// One line of the file: where its text starts and ends, and where the next
// line starts (behind its line end).
struct Line {
  size_t begin, end, next;
};

bool NextLine(const std::string& data, size_t pos, Line* line) {
  if (pos >= data.size()) return false;
  size_t end = data.find_first_of("\r\n", pos);
  if (end == std::string::npos) {
    *line = {pos, data.size(), data.size()};
  } else if (data[end] == '\r' && end + 1 < data.size() && data[end + 1] == '\n') {
    *line = {pos, end, end + 2};
  } else {
    *line = {pos, end, end + 1};
  }
  return true;
}

// A parsed line: a section header, a key line, or something else.
enum class Kind { kSection, kKey, kOther };

Kind Classify(std::string_view text, std::string_view* name, std::string_view* value,
              size_t* value_offset) {
  std::string_view trimmed = Trim(text);
  if (trimmed.empty() || trimmed.front() == ';') return Kind::kOther;
  if (trimmed.front() == '[') {
    size_t close = trimmed.find(']');
    *name = Trim(trimmed.substr(1, close == std::string_view::npos ? std::string_view::npos
                                                                   : close - 1));
    return Kind::kSection;
  }
  size_t eq = text.find('=');
  if (eq == std::string_view::npos) return Kind::kOther;
  *name = Trim(text.substr(0, eq));
  *value = text.substr(eq + 1);
  *value_offset = eq + 1;
  return Kind::kKey;
}

Result<std::string> ReadWholeFile(const char* file) {
  return backend::ReadProfileData(NativePath(file));
}

// Parses every line of an ini text, calling `on_key(section, name, raw value,
// value begin, value end)` for each key line inside a section, in file order,
// until it returns true. The range is the raw value's bytes in `data`.
template <typename OnKey>
void ForEachKey(const std::string& data, OnKey on_key) {
  std::string_view section;
  bool in_section = false;  // key lines before the first header belong to none
  Line line;
  for (size_t pos = 0; NextLine(data, pos, &line); pos = line.next) {
    std::string_view text(data.data() + line.begin, line.end - line.begin);
    std::string_view name, raw;
    size_t offset = 0;
    switch (Classify(text, &name, &raw, &offset)) {
      case Kind::kSection:
        section = name;
        in_section = true;
        break;
      case Kind::kKey:
        if (in_section && on_key(section, name, raw, line.begin + offset, line.end)) return;
        break;
      case Kind::kOther:
        break;
    }
  }
}

// Finds the key in the section. Returns true with the value (raw, untrimmed)
// and its byte range in the file.
bool FindKey(const std::string& data, const char* section, const char* key,
             std::string_view* value, size_t* value_begin, size_t* value_end) {
  bool found = false;
  ForEachKey(data, [&](std::string_view in, std::string_view name, std::string_view raw,
                       size_t begin, size_t end) {
    if (!SameName(in, section) || !SameName(name, key)) return false;
    *value = raw;
    *value_begin = begin;
    *value_end = end;
    found = true;
    return true;
  });
  return found;
}

std::string_view Unquote(std::string_view value) {
  value = Trim(value);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

bool LookUp(const char* section, const char* key, const char* file, std::string* out) {
  if (section == nullptr || key == nullptr || file == nullptr) return false;
  const Result<std::string> read = ReadWholeFile(file);
  if (!read.ok()) return false;
  const std::string& data = read.value();
  std::string_view value;
  size_t begin, end;
  if (!FindKey(data, section, key, &value, &begin, &end)) return false;
  *out = std::string(Unquote(value));
  return true;
}

std::string LineEnding(const std::string& data) {
  size_t end = data.find_first_of("\r\n");
  if (end == std::string::npos) return "\n";
  if (data[end] == '\r') return end + 1 < data.size() && data[end + 1] == '\n' ? "\r\n" : "\r";
  return "\n";
}

// The file with the key set; `data` is the current content (maybe empty).
std::string WithKey(const std::string& data, const char* section, const char* key,
                    const char* text) {
  std::string_view value;
  size_t begin, end;
  if (FindKey(data, section, key, &value, &begin, &end)) {
    return data.substr(0, begin) + text + data.substr(end);
  }
  const std::string eol = LineEnding(data);
  const std::string key_line = std::string(key) + "=" + text + eol;
  // Look for the section; remember the end of its last key or header line.
  bool in_section = false;
  size_t insert_at = std::string::npos;
  Line line;
  for (size_t pos = 0; NextLine(data, pos, &line); pos = line.next) {
    std::string_view line_text(data.data() + line.begin, line.end - line.begin);
    std::string_view name, raw;
    size_t offset = 0;
    Kind kind = Classify(line_text, &name, &raw, &offset);
    if (kind == Kind::kSection) {
      if (insert_at != std::string::npos) break;  // the section has ended
      in_section = SameName(name, section);
      if (in_section) insert_at = line.next;
    } else if (kind == Kind::kKey && in_section) {
      insert_at = line.next;
    }
  }
  if (insert_at != std::string::npos) {
    std::string head = data.substr(0, insert_at);
    if (!head.empty() && head.back() != '\n' && head.back() != '\r') head += eol;
    return head + key_line + data.substr(insert_at);
  }
  std::string result = data;
  if (!result.empty() && result.back() != '\n' && result.back() != '\r') result += eol;
  return result + "[" + section + "]" + eol + key_line;
}

// The index key of a section and key name: both lower-cased, as SameName
// compares them, joined by a zero byte.
std::string IndexKey(std::string_view section, std::string_view key) {
  std::string index;
  index.reserve(section.size() + key.size() + 1);
  for (char c : section) index += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  index += '\0';
  for (char c : key) index += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return index;
}

size_t CopyOut(const std::string& value, char* buffer, size_t size) {
  size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return n;
}

}  // namespace

size_t ReadProfileString(const char* section, const char* key, const char* default_text,
                        char* buffer, size_t size, const char* file) {
  if (buffer == nullptr || size == 0) return 0;
  std::string value;
  if (!LookUp(section, key, file, &value)) value = default_text ? default_text : "";
  return CopyOut(value, buffer, size);
}

int64_t ReadProfileInt(const char* section, const char* key, int64_t default_value,
                      const char* file) {
  std::string value;
  if (!LookUp(section, key, file, &value) || value.empty()) return default_value;
  size_t i = 0;
  bool negative = false;
  if (value[i] == '+' || value[i] == '-') negative = value[i++] == '-';
  int64_t result = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    result = result * 10 + (value[i] - '0');
    if (result > INT32_MAX + int64_t{1}) result = INT32_MAX + int64_t{1};
  }
  if (negative) result = -result;
  if (result > INT32_MAX) result = INT32_MAX;
  return result;
}

Result<ProfileFault> CheckProfileFile(const char* file) {
  if (file == nullptr) return ProfileFault::kNone;
  const Result<std::string> read = ReadWholeFile(file);
  if (!read.ok()) {
    if (read.status().error() == ENOENT) return ProfileFault::kNone;
    if (read.status().error() == EFBIG) return ProfileFault::kTooLarge;
    return read.status();
  }
  const std::string& data = read.value();
  if (data.find('\0') != std::string::npos) return ProfileFault::kNulByte;
  bool has_section = false;
  bool has_other = false;
  Line line;
  for (size_t pos = 0; NextLine(data, pos, &line); pos = line.next) {
    if (line.end - line.begin > kMaxProfileLine) return ProfileFault::kLongLine;
    std::string_view text(data.data() + line.begin, line.end - line.begin);
    std::string_view name, raw;
    size_t offset = 0;
    const Kind kind = Classify(text, &name, &raw, &offset);
    has_section = has_section || kind == Kind::kSection;
    if (kind != Kind::kSection && !Trim(text).empty() && Trim(text).front() != ';') {
      has_other = true;
    }
  }
  return has_other && !has_section ? ProfileFault::kNoSection : ProfileFault::kNone;
}

Status StoreProfileString(const char* section, const char* key, const char* text,
                          const char* file) {
  if (section == nullptr || key == nullptr || text == nullptr || file == nullptr) {
    return Status::Failure("write", EINVAL);
  }
  std::string named = NativePath(file);
  if (named.empty()) return Status::Failure("write", ENOENT);
  const Result<std::string> target = backend::FollowLinks(named);
  if (!target.ok()) return target.status();
  const std::string& native = target.value();
  // A missing file is created; one that exists but cannot be read is left alone.
  Result<std::string> read = backend::ReadProfileData(native);
  if (!read.ok() && read.status().error() != ENOENT) return read.status();
  return backend::ReplaceWithData(native, WithKey(read.value(), section, key, text));
}

ProfileText::ProfileText(const char* text, size_t length) {
  const std::string data(text, length);
  ForEachKey(data, [&](std::string_view section, std::string_view key, std::string_view raw,
                       size_t, size_t) {
    values_.emplace(IndexKey(section, key), std::string(Unquote(raw)));  // the first one wins
    return false;
  });
}

size_t ProfileText::GetString(const char* section, const char* key, const char* default_text,
                              char* buffer, size_t size) const {
  if (buffer == nullptr || size == 0) return 0;
  std::string value = default_text ? default_text : "";
  if (section != nullptr && key != nullptr) {
    const auto found = values_.find(IndexKey(section, key));
    if (found != values_.end()) value = found->second;
  }
  return CopyOut(value, buffer, size);
}

}  // namespace platform
