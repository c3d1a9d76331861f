// CUserProfile: one private-profile (ini) file, read and written key by key.
//
// The object keeps no open file and no cache: every read and every write is
// one call of the profile service on the stored path, so each read sees the
// file as it is now. Section and key names compare without regard to case. A
// bare file name is looked for in the working directory.
#ifndef QZA_WDIR_CUSERPROFILE_H_
#define QZA_WDIR_CUSERPROFILE_H_

#include <memory>

#include "support/Export.h"

namespace qza {

class QZA_EXPORT CUserProfile {
 public:
  // Stores a copy of `path` (null stores none) and, when `open` is non-zero
  // and a path is given, calls OpenProfile.
  CUserProfile(const char* path, int open);
  ~CUserProfile();
  // A copy owns its own copy of the path text.
  CUserProfile(const CUserProfile& other);
  CUserProfile& operator=(const CUserProfile& other);

  // Both return 1 and do nothing: the file is opened by each call.
  int OpenProfile();
  int CloseProfile();

  // Stores into `out` the integer value of the key, or `default_value` when the
  // file, section or key is absent or the value is empty. Returns 1.
  int ReadProfileInt(const char* section, const char* key, long default_value, long* out);
  // Writes `value` in decimal, every digit of it ("%ld"). Returns non-zero on
  // success, 0 on failure.
  int WriteProfileInt(const char* section, const char* key, long value);
  // Copies the value, or `default_text` (null counts as empty) when the key is
  // absent, into `buffer`, cut to size-1 characters and terminated. Returns the
  // number of characters copied.
  int ReadProfileString(const char* section, const char* key, const char* default_text,
                        unsigned long size, char* buffer);
  // Sets the key, creating the file, section or key where missing and keeping
  // the rest of the file. Returns non-zero on success, 0 on failure (the old
  // file is then intact).
  int WriteProfileStringA(const char* section, const char* key, const char* text);
  // Reads `n` bytes stored as 2n hexadecimal digits. Returns 1 when a value was
  // found, 0 (and `data` untouched) when the key is absent or empty. Digits
  // beyond the first 2n are not read; a value of fewer digits, or a pair that
  // is no hexadecimal number, gives 0 for the bytes it cannot fill.
  int ReadProfileData(const char* section, const char* key, unsigned long n, void* data);
  // Stores `n` bytes as 2n upper-case hexadecimal digits. Returns the result of
  // the write.
  int WriteProfileData(const char* section, const char* key, unsigned long n,
                       const void* data);

 private:
  std::unique_ptr<char[]> path_;  // null when constructed without a path
};

}  // namespace qza

// Programs written before the namespace use the global name.
using qza::CUserProfile;

#endif  // QZA_WDIR_CUSERPROFILE_H_
