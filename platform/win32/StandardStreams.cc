// The standard streams on Windows: written through their handles in binary.
#include "platform/StandardStreams.h"

#include "platform/win32/Win32.h"

namespace platform {
namespace {

// Writes all of `text` to the standard handle, as bytes: the run-time's text
// mode would turn each "\r\n" of the account into "\r\r\n". Gives up silently
// when the handle is gone (a closed pipe reports ERROR_NO_DATA, never a signal).
void WriteAll(DWORD which, const char* text, size_t size) {
  HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    if (!WriteFile(handle, text, chunk, &written, nullptr) || written == 0) return;
    text += written;
    size -= written;
  }
}

}  // namespace

void WriteStandardOutput(const char* text, size_t size) {
  WriteAll(STD_OUTPUT_HANDLE, text, size);
}

void WriteStandardError(const char* text, size_t size) { WriteAll(STD_ERROR_HANDLE, text, size); }

// There is no systemd journal on Windows.
bool StandardErrorIsJournal() { return false; }

bool StandardOutputIsTerminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool SetConsoleTitleBySystem(const char* title) {
  SetConsoleTitleA(title);  // a console without a title to set is no failure to report
  return true;
}

// Windows ends no process for a closed pipe or a large file: nothing to ignore.
void IgnoreStreamSignals() {}

}  // namespace platform
