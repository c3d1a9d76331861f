#include "fax/FaxJob.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/Settings.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/FileSystem.h"
#include "support/CDosFile.h"
#include "support/CProcess.h"
#include "support/MonthlyLog.h"

namespace {

constexpr unsigned long kReadExclusive = 16;  // OF_READ | OF_SHARE_EXCLUSIVE
constexpr unsigned long kLineSize = 256;
constexpr size_t kCommandMax = 255;

}  // namespace

void ProcessFaxJob(const char* path) {
  platform::Print("proceeding fax job in '%s'\r\n", path);
  CDosFile file(path);
  if (!file.Open(kReadExclusive)) {
    platform::Print("Can't open job-file !\r\n");
    return;
  }
  char lines[4][kLineSize] = {};
  for (auto& line : lines) file.ReadLine(line, kLineSize);  // missing lines read empty
  file.Close();

  std::string command = "QZ_DOFAX.BAT ";
  command += std::string(lines[0]) + " \"" + lines[1] + "\" " + lines[2] + " " + lines[3];
  if (command.size() > kCommandMax) {
    // Never cut into a command that runs: the job stays for the operator.
    platform::Print("Fax job longer than 237 characters in its four lines, not launched: %s\r\n",
                    path);
    return;
  }
  platform::Print("launching [%s]\r\n", command.c_str());
  CProcess process(command.c_str());
  process.Run(0, 1);  // a script that cannot start goes unnoticed, as for alarms
  process.Detach();
  platform::RemoveFile(path);

  const struct tm time = platform::LocalTime(platform::Now());
  char log_line[512];
  std::snprintf(log_line, sizeof log_line,
                "%02d:%02d:%02d:Server %i, fax job launched [shell=%s]\r\n", time.tm_hour,
                time.tm_min, time.tm_sec, g_settings.Number, command.c_str());
  AppendMonthlyLog("%s.\\qzf_%02d%02d.log", g_settings.AckPath, time, log_line);
}
