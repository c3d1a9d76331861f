// The private-profile (ini) service.
//
// Reading follows the Windows service: section and key names compare without
// regard to case; white space around names and values is trimmed; a key ends
// at the first `=`; a value in one matching pair of `"` or `'` loses them;
// lines whose first non-blank character is `;` are comments (there are no
// comments after a value); the first occurrence of a key in the file wins; CR,
// LF and CR LF line ends all read. Each call reads the file anew: nothing is
// cached, so another program may edit it between two calls.
//
// Writing one key changes that key alone and keeps every other byte of the
// file. A new key goes behind the last key line of its section; a new section
// goes to the end of the file. New lines take the line end of the file's first
// line, or LF for a file without one. The write is atomic: a new file beside
// the old one, flushed, then renamed over it, keeping the old file's
// permissions, so a crash never leaves a truncated ini file.
//
// A bare file name ("qza_wdir.ini") is looked for in the working directory.
//
// A file larger than kMaxProfileBytes is not read at all: every read gives its
// default and no write replaces it, as for a file that cannot be read.
#ifndef QZA_PLATFORM_PROFILE_H_
#define QZA_PLATFORM_PROFILE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "platform/Status.h"

namespace platform {

// No ini file is larger than this; a larger one is refused whole.
constexpr size_t kMaxProfileBytes = 1024 * 1024;
// No line of an ini file is longer than this.
constexpr size_t kMaxProfileLine = 64 * 1024;

// What makes a file unlike an ini file, as CheckProfileFile finds it.
enum class ProfileFault {
  kNone,       // reads as an ini file, or there is no file
  kTooLarge,   // more than kMaxProfileBytes: not read at all
  kNulByte,    // holds a NUL byte, which no text file holds
  kLongLine,   // a line longer than kMaxProfileLine
  kNoSection,  // lines other than blanks and comments, but no section header
};

// Looks at the ini file once, for a start-up line that says what is wrong
// with it. A missing file, an empty one and one of comments alone are no
// fault. A failure when the file exists but cannot be read.
Result<ProfileFault> CheckProfileFile(const char* file);

// Copies the value of the key, or `default_text` (null counts as empty) when
// the file, section or key is absent, cut to size-1 characters and always
// terminated (size 0 writes nothing). Returns the number of characters copied.
size_t ReadProfileString(const char* section, const char* key, const char* default_text,
                        char* buffer, size_t size, const char* file);

// The integer value of the key: the default when the key is missing or its
// value is empty; otherwise an optional sign and the leading decimal digits
// ("42A" is 42, saturated to the signed 32-bit range), and 0 for a value that
// starts with no digit.
int64_t ReadProfileInt(const char* section, const char* key, int64_t default_value,
                      const char* file);

// Sets the key in the section to `text`, creating the file, the section or the
// key where missing. After a failure the old file is intact: a file that
// exists but cannot be read whole is never rewritten. The new file keeps the old one's permissions,
// owner and group (when the owner cannot be kept, nothing is written). When the name is a symbolic
// link (or a chain of them), the file it leads to is replaced and the link stays; a dangling link
// gets its target created.
Status StoreProfileString(const char* section, const char* key, const char* text, const char* file);

// An ini text held in memory (a job file read once), read by the same rules
// as the functions above. The text is indexed once, so each look-up costs a
// map search instead of a pass over the text.
class ProfileText {
 public:
  ProfileText(const char* text, size_t length);

  // As ReadProfileString, from the text.
  size_t GetString(const char* section, const char* key, const char* default_text,
                   char* buffer, size_t size) const;

 private:
  // Lower-cased "section\0key" to the key's first value, unquoted.
  std::map<std::string, std::string> values_;
};

}  // namespace platform

#endif  // QZA_PLATFORM_PROFILE_H_
