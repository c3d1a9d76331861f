#include "platform/StandardStreams.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

// Writes all of `text` to `fd`, waiting while it is full. Gives up silently
// when the descriptor is gone: the service goes on without it.
void WriteAll(int fd, const char* text, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // Someone made the descriptor non-blocking: wait until it takes more.
      struct pollfd pfd = {fd, POLLOUT, 0};
      if (poll(&pfd, 1, -1) < 0 && errno != EINTR) return;
      continue;
    }
    if (n <= 0) return;
    text += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

void WriteStandardOutput(const char* text, size_t size) { WriteAll(STDOUT_FILENO, text, size); }

void WriteStandardError(const char* text, size_t size) { WriteAll(STDERR_FILENO, text, size); }

bool StandardErrorIsJournal() {
  const char* stream = getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  uintmax_t device = 0;
  uintmax_t inode = 0;
  char rest = 0;
  if (sscanf(stream, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &rest) != 2) return false;
  struct stat st;
  // A standard error that cannot be examined is taken for a plain stream.
  if (fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<uintmax_t>(st.st_dev) == device && static_cast<uintmax_t>(st.st_ino) == inode;
}

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

// A terminal takes its title from an escape sequence in the stream.
bool SetConsoleTitleBySystem(const char*) { return false; }

void IgnoreStreamSignals() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGIO, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

}  // namespace platform
