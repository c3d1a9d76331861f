// Starting the installation's programs as detached children.
#ifndef QZA_SUPPORT_LAUNCH_H_
#define QZA_SUPPORT_LAUNCH_H_

// Prints "launching [<command line>]", starts the command line as a child in
// a session of its own and lets it run on, reaped in the background. When it
// cannot be started, prints "FAILED to launch [<command line>]: <why>".
// Control characters of the command line are printed as `?`; the child gets
// them unchanged. Returns 0 when the child started, else the error number.
int LaunchDetached(const char* command_line);

#endif  // QZA_SUPPORT_LAUNCH_H_
