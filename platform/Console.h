// The service's account of events on standard output.
//
// Every message is formatted completely and handed to one write, unbuffered,
// so that messages of two threads never mix inside a line. SIGPIPE is ignored
// by the service, so a closed standard output does not end it.
#ifndef QZA_PLATFORM_CONSOLE_H_
#define QZA_PLATFORM_CONSOLE_H_

namespace platform {

// Formats like printf and writes the result to standard output at once.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sets the terminal title with an escape sequence, only when standard output
// is a terminal.
void SetConsoleTitle(const char* title);

// Ignores the signals that must not end the service: SIGPIPE (a closed
// standard output) and SIGIO (a lease break).
void IgnoreServiceSignals();

}  // namespace platform

#endif  // QZA_PLATFORM_CONSOLE_H_
