#include "platform/Console.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

namespace platform {
namespace {

void WriteOut(const char* text, size_t size) {
  while (size > 0) {
    ssize_t n = write(STDOUT_FILENO, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // standard output is gone; the service goes on
    text += n;
    size -= n;
  }
}

}  // namespace

void Print(const char* format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof buffer) {
    WriteOut(buffer, n);
    return;
  }
  std::string large(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  vsnprintf(large.data(), large.size(), format, args);
  va_end(args);
  WriteOut(large.data(), n);
}

void SetConsoleTitle(const char* title) {
  if (isatty(STDOUT_FILENO)) Print("\033]0;%s\007", title);
}

void IgnoreServiceSignals() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGIO, SIG_IGN);
}

}  // namespace platform
