// AppendMonthlyLog: one line appended to the month's log file of a kind.
#ifndef QZA_WDIR_MONTHLYLOG_H_
#define QZA_WDIR_MONTHLYLOG_H_

#include <ctime>

#include "support/Export.h"

namespace qza {

// Two digits of the year as the log names use them: the years since 1900,
// less 100 when that is 100 or more (once).
QZA_EXPORT int TwoDigitYear(const struct tm& time);

// Appends `line` to the log file named by `name_format` (a format taking the
// directory text, the two-digit year and the month 1 to 12, such as
// "%s.\qza_%02d%02d.log"), creating the file when it does not exist, in one
// write. The file is opened for writing with deny-write sharing, so a reader
// that holds the log open (tail -f, a viewer) never costs a line, while another
// writer does: one retry after 500 ms, then "ERROR: Log file could not be
// opened\n". A file that cannot be created prints "ERROR: Log file could not
// be created\n"; a name of more than 127 characters prints "ERROR: Log file
// name too long: %s\n"; a failed write (disk full) or a name that is a link or
// no regular file prints "ERROR: Log file <name> could not be written: <why>".
// The open never follows a symbolic link. Returns true when the whole line was
// written; the line is lost otherwise.
QZA_EXPORT bool AppendMonthlyLog(const char* name_format, const char* directory,
                                 const struct tm& time, const char* line);

}  // namespace qza

// Programs written before the namespace use the global names.
using qza::TwoDigitYear;
using qza::AppendMonthlyLog;

#endif  // QZA_WDIR_MONTHLYLOG_H_
