#include "fax/FaxJob.h"

#include <errno.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "support/CDosFile.h"
#include "support/Launch.h"
#include "support/MonthlyLog.h"
#include "support/Printable.h"

namespace {

constexpr unsigned long kLineSize = 256;
constexpr size_t kCommandMax = 255;

// Jobs that were launched but could not be deleted, by device, inode, size
// and modification time: never faxed again while the service runs.
using platform::FileIdentity;
std::set<FileIdentity> launched_jobs;

bool AlreadyLaunched(const char* path) {
  FileIdentity identity;
  return platform::IdentityOfPath(path, &identity) && launched_jobs.count(identity) != 0;
}

// Reads the four lines; false (with a line) when the job cannot be opened.
bool ReadJob(const char* path, char (&lines)[4][kLineSize]) {
  CDosFile file(path);
  if (!file.Open(CDosFile::kReadExclusive)) {
    const int error = errno;
    if (error == EBUSY || error == ENOENT) {
      platform::Print("Can't open job-file !\r\n");
    } else {
      platform::Print("Can't open job-file ! (%s)\r\n", platform::ErrorText(error));
    }
    return false;
  }
  for (auto& line : lines) file.ReadLine(line, kLineSize);  // missing lines read empty
  file.Close();
  return true;
}

// Deletes the launched job; a job that stays is remembered, not faxed again.
void DeleteLaunchedJob(const char* path, const FileIdentity& identity, bool known) {
  if (platform::RemoveFile(path)) return;
  platform::Print("FAILED to delete '%s': %s\r\n", path, platform::ErrorText(errno));
  if (!known) return;
  launched_jobs.insert(identity);
  platform::Print(
      "'%s' was launched but could not be deleted: it is left for the operator and not "
      "launched again\r\n",
      path);
}

}  // namespace

void ProcessFaxJob(const Settings& settings, const char* path) {
  if (AlreadyLaunched(path)) return;
  platform::Print("proceeding fax job in '%s'\r\n", path);
  char lines[4][kLineSize] = {};
  if (!ReadJob(path, lines)) return;
  FileIdentity identity;
  const bool known = platform::IdentityOfPath(path, &identity);

  std::string command = "QZ_DOFAX.BAT ";
  command += std::string(lines[0]) + " \"" + lines[1] + "\" " + lines[2] + " " + lines[3];
  if (command.size() > kCommandMax) {
    // Never cut into a command that runs: the job stays for the operator.
    platform::Print("Fax job longer than 237 characters in its four lines, not launched: %s\r\n",
                    path);
    return;
  }
  // A job whose script did not start stays to be tried again at later passes.
  if (LaunchDetached(command.c_str()) != 0) return;
  DeleteLaunchedJob(path, identity, known);

  const struct tm time = platform::LocalTime(platform::Now());
  char log_line[512];
  std::snprintf(log_line, sizeof log_line,
                "%02d:%02d:%02d:Server %i, fax job launched [shell=%s]\r\n", time.tm_hour,
                time.tm_min, time.tm_sec, settings.Number, Printable(command.c_str()).c_str());
  AppendMonthlyLog("%s.\\qzf_%02d%02d.log", settings.AckPath, time, log_line);
}

void ResetFaxState() { launched_jobs.clear(); }
