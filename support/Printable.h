// Texts from spool files as they may appear in records.
//
// A field or file name that a spool writer chose could hold CR, LF, escape or
// other control characters and so forge lines in the console account, an
// acknowledgement or a log. Every such text is passed through Printable before
// it is printed or recorded; the command line handed to a child stays as it is.
#ifndef QZA_SUPPORT_PRINTABLE_H_
#define QZA_SUPPORT_PRINTABLE_H_

#include <string>

namespace qza {

// `text` with every control character (bytes 0x01 to 0x1F and 0x7F) written as
// `?`. Bytes from 0x80 up are kept: they are the installation's code page.
std::string Printable(const char* text);

// True when `text` holds a control character.
bool HasControlCharacter(const char* text);

}  // namespace qza

#endif  // QZA_SUPPORT_PRINTABLE_H_
