// For the fake installation programs of the tests: appending one line to a
// log that many of them write at the same time.
#ifndef QZA_TESTS_HELPERS_APPEND_LINE_H_
#define QZA_TESTS_HELPERS_APPEND_LINE_H_

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qza {

// Appends `line` to `path` (created if missing) in one write that lands at
// the end whole, however many programs append at the same time. Returns false
// when the log cannot be written; nothing or the whole line was written then.
inline bool AppendLine(const std::string& path, const std::string& line) {
#ifdef _WIN32
  // Appenders take turns: Wine carries out a write to the end of a file as
  // "find the size, write there", so two appends at once may land at the same
  // place and one line is lost. A program that dies holding the mutex hands
  // it on (WAIT_ABANDONED).
  HANDLE turn = CreateMutexA(nullptr, FALSE, "qza_test_append_line");
  if (turn == nullptr) return false;
  const DWORD waited = WaitForSingleObject(turn, 60000);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(turn);
    return false;
  }
  bool whole = false;
  HANDLE out = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    whole = WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
            written == line.size();
    whole = CloseHandle(out) && whole;
  }
  ReleaseMutex(turn);
  CloseHandle(turn);
  return whole;
#else
  std::FILE* out = std::fopen(path.c_str(), "ab");
  if (out == nullptr) return false;
  const bool whole = std::fwrite(line.data(), 1, line.size(), out) == line.size();
  return std::fclose(out) == 0 && whole;
#endif
}

}  // namespace qza

#endif  // QZA_TESTS_HELPERS_APPEND_LINE_H_
