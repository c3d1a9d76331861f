#include "support/MonthlyLog.h"

#include <errno.h>

#include <cstdio>
#include <cstring>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "support/Printable.h"

namespace qza {

namespace {

constexpr int kNameSize = 128;

}  // namespace

int TwoDigitYear(const struct tm& time) {
  return time.tm_year >= 100 ? time.tm_year - 100 : time.tm_year;
}

bool AppendMonthlyLog(const char* name_format, const char* directory, const struct tm& time,
                      const char* line) {
  char name[kNameSize];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int length =
      std::snprintf(name, sizeof name, name_format, directory, TwoDigitYear(time), time.tm_mon + 1);
#pragma GCC diagnostic pop
  if (length < 0 || length >= kNameSize) {
    platform::Print("ERROR: Log file name too long: %s\n", Printable(directory).c_str());
    platform::PrintError("qza_wdir: log line not written: the log file name is too long: %s\n",
                         Printable(directory).c_str());
    return false;
  }
  const size_t size = std::strlen(line);
  const bool existed = platform::PathExists(name);
  platform::Status appended = platform::AppendToFile(name, line, size, true);
  if (appended.ok()) return true;
  if (appended.error() == EBUSY) {  // another writer has it open: one retry
    platform::Sleep(500);
    appended = platform::AppendToFile(name, line, size, true);
    if (appended.ok()) return true;
    if (appended.error() == EBUSY) {
      platform::Print("ERROR: Log file could not be opened\n");
      platform::PrintError("qza_wdir: log line not written: %s is held by another program\n",
                           Printable(name).c_str());
      return false;
    }
  }
  if (!existed && !platform::PathExists(name)) {
    platform::Print("ERROR: Log file could not be created\n");
    platform::PrintError("qza_wdir: log line not written: %s cannot be created: %s\n",
                         Printable(name).c_str(), appended.reason());
  } else {
    platform::Print("ERROR: Log file %s could not be written: %s\n", Printable(name).c_str(),
                    appended.reason());
    platform::PrintError("qza_wdir: log line not written to %s: %s\n", Printable(name).c_str(),
                         appended.reason());
  }
  return false;
}

}  // namespace qza
