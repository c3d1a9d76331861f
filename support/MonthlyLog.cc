#include "support/MonthlyLog.h"

#include <cstdio>
#include <cstring>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "support/CDosFile.h"
#include "support/CFileStat.h"

namespace {

// Write access with deny-write sharing (OF_WRITE | OF_SHARE_DENY_WRITE).
constexpr unsigned long kAppendMode = 1 | platform::kShareDenyWrite;
constexpr int kNameSize = 128;

}  // namespace

int TwoDigitYear(const struct tm& time) {
  return time.tm_year >= 100 ? time.tm_year - 100 : time.tm_year;
}

void AppendMonthlyLog(const char* name_format, const char* directory, const struct tm& time,
                      const char* line) {
  char name[kNameSize];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int length =
      std::snprintf(name, sizeof name, name_format, directory, TwoDigitYear(time), time.tm_mon + 1);
#pragma GCC diagnostic pop
  if (length < 0 || length >= kNameSize) {
    platform::Print("ERROR: Log file name too long: %s\n", directory);
    return;
  }
  CDosFile file(name);
  CFileStat status(name);
  if (status.Exists()) {
    if (!file.Open(kAppendMode)) {
      platform::Sleep(500);
      if (!file.Open(kAppendMode)) {
        platform::Print("ERROR: Log file could not be opened\n");
        return;
      }
    }
    file.SeekEof();
  } else if (!file.Create(kAppendMode)) {
    platform::Print("ERROR: Log file could not be created\n");
    return;
  }
  file.Write(line, std::strlen(line));
}
