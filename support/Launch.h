// Starting the installation's programs as detached children.
#ifndef QZA_SUPPORT_LAUNCH_H_
#define QZA_SUPPORT_LAUNCH_H_

#include <string>
#include <vector>

namespace qza {

// Prints "launching [<command line>]", starts the command line as a child in
// a session of its own and lets it run on, reaped in the background. When it
// cannot be started, prints "FAILED to launch [<command line>]: <why>".
// Control characters of the command line are printed as `?`; the child gets
// them unchanged. Returns 0 when the child started, else the error number.
int LaunchDetached(const char* command_line);

// As above, for a program whose arguments are fields that must each stay one
// argument: the child gets `arguments` (its program's name first) as its
// argument vector word for word, whatever blanks or quotes a word holds.
// `command_line` is only the text printed. A word holding a line break cannot
// be handed over whole on every platform and is refused (EINVAL).
int LaunchDetached(const char* command_line, const std::vector<std::string>& arguments);

}  // namespace qza

#endif  // QZA_SUPPORT_LAUNCH_H_
