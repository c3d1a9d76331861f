#include "fax/FaxJob.h"

#include <errno.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fax/PinnedJobs.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Journal.h"
#include "support/CDosFile.h"
#include "support/Launch.h"
#include "support/MonthlyLog.h"
#include "support/Printable.h"
#include "support/SpoolFile.h"

namespace {

constexpr unsigned long kLineSize = 256;
constexpr size_t kCommandMax = 255;

// Jobs that were launched but could not be deleted, by device, inode, size
// and modification time, with their paths: never faxed again, not after a
// restart either (they are kept in a journal in the working directory) while
// the file stays as it is.
using Identity = platform::FileIdentity;
struct LaunchedJobs {
  std::vector<std::pair<std::string, Identity>> jobs;
  platform::Journal journal;
  PinnedJobs pinned;  // launched, and their name taken away by another program
};

LaunchedJobs& Launched() {
  static LaunchedJobs launched;
  return launched;
}

bool IdentityOf(const char* path, Identity* identity) {
  return platform::IdentityOfPath(path, identity);
}

void StoreLaunchedJobs();

// Deletes the job file; false (with a line) when it stays.
bool DeleteJobFile(const char* path) {
  if (platform::RemoveFile(path)) return true;
  platform::Print("FAILED to delete '%s': %s\r\n", path, platform::ErrorText(errno));
  return false;
}

// Remembers a launched job that stays at `path`, also across restarts.
void RememberLeftJob(const char* path, const Identity& identity) {
  Launched().jobs.emplace_back(path, identity);
  StoreLaunchedJobs();
}

// Deletes a launched job that another program moved to `path`; one that
// cannot be deleted is remembered as any launched job that stays.
void DeleteMovedJob(const char* path, const std::string& launched_as) {
  platform::Print("'%s' is the fax job launched as '%s', moved here by another program: "
                  "deleted, not launched again\r\n",
                  path, launched_as.c_str());
  Identity identity;
  const bool known = IdentityOf(path, &identity);
  if (!DeleteJobFile(path) && known) RememberLeftJob(path, identity);
}

bool AlreadyLaunched(const char* path) {
  std::string launched_as;
  if (Launched().pinned.Take(path, &launched_as)) {
    DeleteMovedJob(path, launched_as);
    return true;
  }
  if (Launched().jobs.empty()) return false;
  Identity identity;
  if (!IdentityOf(path, &identity)) return false;
  for (const auto& job : Launched().jobs) {
    if (job.second == identity) return true;
  }
  return false;
}

// Keeps the jobs whose files are still as they were, and writes them down.
void StoreLaunchedJobs() {
  LaunchedJobs& launched = Launched();
  std::string text;
  auto& jobs = launched.jobs;
  for (auto it = jobs.begin(); it != jobs.end();) {
    Identity now;
    if (!IdentityOf(it->first.c_str(), &now) || now != it->second) {
      it = jobs.erase(it);
      continue;
    }
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "%" PRIu64 " %" PRIu64 " %" PRId64 " %" PRId64,
                  now.dev, now.ino, now.size, now.mtime);
    text += it->first + "\n" + numbers + "\n";
    ++it;
  }
  if (!launched.journal.IsOpen()) return;
  const bool stored = text.empty() ? launched.journal.Clear() : launched.journal.Store(text);
  if (!stored) {
    platform::Print("ERROR: journal %s could not be written: %s\r\n", kFaxJournalName,
                    platform::ErrorText(errno));
  }
}

// Reads the four lines and the identity of the file read (not of whatever
// holds its name a moment later); false (with a line) when the job cannot be
// opened.
bool ReadJob(const char* path, char (&lines)[4][kLineSize], Identity* identity, bool* known) {
  CDosFile file(path);
  if (!OpenSpoolFile(file, "job")) return false;
  for (auto& line : lines) file.ReadLine(line, kLineSize);  // missing lines read empty
  platform::FileStatus status;
  *known = file.GetStatus(&status) != 0;
  if (*known) *identity = platform::IdentityOfStatus(status);
  file.Close();
  return true;
}

// Opens a second descriptor on the job at `path` when it is still the file
// read; null otherwise.
std::unique_ptr<CDosFile> PinJob(const char* path, const Identity& identity) {
  auto pin = std::make_unique<CDosFile>(path);
  platform::FileStatus status;
  if (!pin->Open(CDosFile::kReadDenyNone) || !pin->GetStatus(&status) ||
      !platform::IdentityOfStatus(status).SameFile(identity)) {
    pin.reset();
  }
  return pin;
}

// Keeps the launched job open while it may live on under another name.
void KeepPinned(std::unique_ptr<CDosFile> pin, const char* path) {
  if (pin) Launched().pinned.Keep(std::move(pin), path);
}

// Deletes the launched job; a job that stays is remembered, not faxed again.
// A new job that a writer put in its place meanwhile is not the one launched:
// it stays for its own pass, and the launched one is kept open in case it
// turns up under another name.
void DeleteLaunchedJob(const char* path, const Identity& identity, bool known,
                       std::unique_ptr<CDosFile> pin) {
  if (known && WhatNameHolds(path, identity) == NameHolds::kAnotherFile) {
    ReportReplaced(path);
    KeepPinned(std::move(pin), path);
    return;
  }
  if (DeleteJobFile(path) || !known) return;
  if (WhatNameHolds(path, identity) != NameHolds::kFileRead) {
    // Another program took it away after the launch: nothing stays at the
    // name to be remembered, and nothing may claim that it does.
    platform::Print("'%s' was launched and then moved or deleted by another program\r\n", path);
    KeepPinned(std::move(pin), path);
    return;
  }
  RememberLeftJob(path, identity);
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
  Identity identity;
  bool known = false;
  if (!ReadJob(path, lines, &identity, &known)) return;

  std::string command = "QZ_DOFAX.BAT ";
  command += std::string(lines[0]) + " \"" + lines[1] + "\" " + lines[2] + " " + lines[3];
  // The script gets each line as one argument, whatever it holds.
  const std::vector<std::string> arguments = {"QZ_DOFAX.BAT", lines[0], lines[1], lines[2],
                                              lines[3]};
  if (command.size() > kCommandMax) {
    // Never cut into a command that runs: the job stays for the operator.
    platform::Print("Fax job longer than 237 characters in its four lines, not launched: %s\r\n",
                    path);
    return;
  }
  std::unique_ptr<CDosFile> pin = PinJob(path, identity);
  // A job whose script did not start stays to be tried again at later passes.
  if (LaunchDetached(command.c_str(), arguments) != 0) return;
  DeleteLaunchedJob(path, identity, known, std::move(pin));

  const struct tm time = platform::LocalTime(platform::Now());
  char log_line[512];
  std::snprintf(log_line, sizeof log_line,
                "%02d:%02d:%02d:Server %i, fax job launched [shell=%s]\r\n", time.tm_hour,
                time.tm_min, time.tm_sec, settings.Number, Printable(command.c_str()).c_str());
  AppendMonthlyLog("%s.\\qzf_%02d%02d.log", settings.AckPath, time, log_line);
}

void OpenFaxJournal() {
  LaunchedJobs& launched = Launched();
  if (launched.journal.IsOpen()) return;
  if (!launched.journal.Open(kFaxJournalName)) {
    platform::Print("ERROR: journal %s cannot be used: %s; a fax job that cannot be deleted "
                    "may be faxed again after a restart\r\n",
                    kFaxJournalName, platform::ErrorText(errno));
    return;
  }
  const std::string text = launched.journal.Load();
  for (size_t at = 0; at < text.size();) {
    const size_t path_end = text.find('\n', at);
    const size_t line_end = path_end == std::string::npos ? path_end : text.find('\n', path_end + 1);
    if (line_end == std::string::npos) break;
    uint64_t device = 0, inode = 0;
    int64_t size = 0, time = 0;
    if (std::sscanf(text.c_str() + path_end + 1, "%" SCNu64 " %" SCNu64 " %" SCNd64 " %" SCNd64,
                    &device, &inode, &size, &time) == 4) {
      launched.jobs.emplace_back(text.substr(at, path_end - at), Identity{device, inode, size, time});
    }
    at = line_end + 1;
  }
  StoreLaunchedJobs();
}

void ResetFaxState() {
  Launched().jobs.clear();
  Launched().pinned.Clear();
}
