// The alarm and watchdog patterns are printf formats that receive the server
// number. A configured pattern is used as a format only when it holds nothing
// but "%%" and at most one integer conversion (%i or %d, with flags but no
// width, no precision, no `*` and no length modifier), so that no formatting
// call ever reads an argument that is not there, and none takes long: a width
// or precision such as %999999999i would make every pass format a huge text.
#ifndef QZA_CORE_PATTERN_H_
#define QZA_CORE_PATTERN_H_

#include <cstddef>

namespace qza {

// True when `pattern` is safe to format with one int argument.
bool IsServerNumberFormat(const char* pattern);

// Formats a checked pattern with the server number into `out` of `size`
// bytes. Returns false, leaving `out` empty, when the result does not fit.
bool FormatServerPattern(const char* pattern, int number, char* out, size_t size);

}  // namespace qza

#endif  // QZA_CORE_PATTERN_H_
