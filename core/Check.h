// The configuration check (qza_wdir --check): an installation examined as the
// service would meet it, without writing anything.
#ifndef QZA_CORE_CHECK_H_
#define QZA_CORE_CHECK_H_

#include <string>
#include <vector>

#include "settings/Settings.h"

namespace qza {

// The problems that the service would meet with `settings` in the working
// directory, as this process's user: one line each, saying what is wrong and
// what to do. Empty when nothing is wrong. Looks at the file system only.
std::vector<std::string> FindProblems(const Settings& settings);

// Checks the installation in `directory` (null: the working directory): reads
// qza_wdir.ini and qzalarm.ini as the service does but writes nothing,
// prints the effective settings on standard output and each problem on
// standard error (at warning priority in the journal), and ends with a
// summary line on standard output. Returns the exit status: 0 when nothing is
// wrong, 1 otherwise (also when the directory cannot be entered).
int RunCheck(const char* directory);

}  // namespace qza

#endif  // QZA_CORE_CHECK_H_
