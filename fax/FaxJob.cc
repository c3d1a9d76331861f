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
#include "support/CDosFile.h"
#include "support/LaunchLedger.h"
#include "support/Launch.h"
#include "support/MonthlyLog.h"
#include "support/Printable.h"
#include "support/SpoolFile.h"

namespace qza {

namespace {

constexpr unsigned long kLineSize = 256;
constexpr size_t kCommandMax = 255;

using Identity = platform::FileIdentity;

}  // namespace

struct FaxHandler::State {
  explicit State(LaunchLedger& l) : ledger(l) {}
  // Jobs being launched, and jobs launched but left in the spool (never faxed
  // again, not after a restart either, while the file stays as it is).
  LaunchLedger& ledger;
  ServiceMetrics* metrics = nullptr;  // null: nothing is counted
  PinnedJobs pinned;  // launched, and their name taken away by another program
  int64_t now = 0;    // of the job in hand
};

namespace {

using LaunchedJobs = FaxHandler::State;

bool IdentityOf(const char* path, Identity* identity) {
  return platform::IdentityOfPath(path, identity);
}

// Deletes the job file; false (with a line) when it stays.
bool DeleteJobFile(const char* path) {
  const platform::Status removed = platform::RemoveFile(path);
  if (removed.ok()) return true;
  platform::Print("FAILED to delete '%s': %s\r\n", path, removed.reason());
  return false;
}

// Remembers a launched job that stays at `path`, also across restarts.
void RememberLeftJob(LaunchedJobs& launched, const char* path, const Identity& identity) {
  if (launched.metrics != nullptr) {
    Count(&launched.metrics->fax_refused[ServiceMetrics::kLeftForOperator]);
  }
  launched.ledger.Put(LedgerRecord::Of(LedgerRecord::Kind::kFax, LedgerRecord::State::kLeft,
                                       identity, launched.now, path));
}

// Deletes a launched job that another program moved to `path`; one that
// cannot be deleted is remembered as any launched job that stays.
void DeleteMovedJob(LaunchedJobs& launched, const char* path, const std::string& launched_as) {
  platform::Print("'%s' is the fax job launched as '%s', moved here by another program: "
                  "deleted, not launched again\r\n",
                  path, launched_as.c_str());
  Identity identity;
  const bool known = IdentityOf(path, &identity);
  if (!DeleteJobFile(path) && known) RememberLeftJob(launched, path, identity);
}

bool AlreadyLaunched(LaunchedJobs& launched, const char* path) {
  std::string launched_as;
  if (launched.pinned.Take(path, &launched_as)) {
    DeleteMovedJob(launched, path, launched_as);
    return true;
  }
  return launched.ledger.LeftAsItWas(LedgerRecord::Kind::kFax, path);
}

// Reads the four lines and the identity of the file read (not of whatever
// holds its name a moment later); false (with a line) when the job cannot be
// opened.
bool ReadJob(const char* path, char (&lines)[4][kLineSize], Identity* identity, bool* known) {
  CDosFile file(path);
  if (!OpenSpoolFile(file, path, "job")) return false;
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
void KeepPinned(LaunchedJobs& launched, std::unique_ptr<CDosFile> pin, const char* path) {
  if (pin) launched.pinned.Keep(std::move(pin), path);
}

// Deletes the launched job; a job that stays is remembered, not faxed again.
// A new job that a writer put in its place meanwhile is not the one launched:
// it stays for its own pass, and the launched one is kept open in case it
// turns up under another name.
void DeleteLaunchedJob(LaunchedJobs& launched, const char* path, const Identity& identity, bool known,
                       std::unique_ptr<CDosFile> pin) {
  if (known && WhatNameHolds(path, identity) == NameHolds::kAnotherFile) {
    launched.ledger.Remove(LedgerRecord::Kind::kFax, path);
    ReportReplaced(path);
    KeepPinned(launched, std::move(pin), path);
    return;
  }
  if (DeleteJobFile(path) || !known) {
    launched.ledger.Remove(LedgerRecord::Kind::kFax, path);
    return;
  }
  if (WhatNameHolds(path, identity) != NameHolds::kFileRead) {
    launched.ledger.Remove(LedgerRecord::Kind::kFax, path);
    // Another program took it away after the launch: nothing stays at the
    // name to be remembered, and nothing may claim that it does.
    platform::Print("'%s' was launched and then moved or deleted by another program\r\n", path);
    KeepPinned(launched, std::move(pin), path);
    return;
  }
  RememberLeftJob(launched, path, identity);
  platform::Print(
      "'%s' was launched but could not be deleted: it is left for the operator and not "
      "launched again\r\n",
      path);
}

// Records the launch before it happens (a job whose identity is unknown
// cannot be recognised after a crash, and is not recorded).
void Reserve(LaunchedJobs& launched, const char* path, const Identity& identity, bool known) {
  if (!known) return;
  launched.ledger.Put(LedgerRecord::Of(LedgerRecord::Kind::kFax, LedgerRecord::State::kLaunching,
                                       identity, launched.now, path));
}

// Says on the console and in the month's log when the launch that follows may
// repeat an earlier one: the service stopped while launching this very job,
// or the ledger that would tell was damaged.
void AnnouncePossibleRepeat(LaunchedJobs& launched, const Settings& settings,
                            const struct tm& time, const char* path, const Identity& identity) {
  const LedgerRecord* r = launched.ledger.Find(LedgerRecord::Kind::kFax, path);
  const char* why = nullptr;
  if (r != nullptr && r->state == LedgerRecord::State::kLaunching && r->identity == identity) {
    why = "the service stopped while launching it";
  } else if (launched.ledger.InDoubt()) {
    why = "the ledger was damaged";
  }
  if (why == nullptr) return;
  platform::Print("'%s' may have been faxed before (%s): launched again\r\n", path, why);
  char line[512];
  std::snprintf(line, sizeof line,
                "%02d:%02d:%02d:Server %i, fax job launched again, it may be a repeat (%s) "
                "(file=%s)\r\n",
                time.tm_hour, time.tm_min, time.tm_sec, settings.Number, why, path);
  AppendMonthlyLog("%s.\\qzf_%02d%02d.log", settings.AckPath, time, line);
}

}  // namespace

FaxHandler::FaxHandler(const Settings& settings, LaunchLedger& ledger, const HandlerClock& clock,
                       ServiceMetrics* metrics)
    : settings_(settings), clock_(clock), state_(std::make_unique<State>(ledger)) {
  state_->metrics = metrics;
}

FaxHandler::~FaxHandler() = default;

void FaxHandler::Handle(const char* path, const char*) { ProcessFaxJob(path); }

void FaxHandler::ProcessFaxJob(const char* path) {
  const Settings& settings = settings_;
  State& launched = *state_;
  if (AlreadyLaunched(launched, path)) return;
  platform::Print("proceeding fax job in '%s'\r\n", path);
  char lines[4][kLineSize] = {};
  Identity identity;
  bool known = false;
  ServiceMetrics* metrics = launched.metrics;
  if (!ReadJob(path, lines, &identity, &known)) {
    if (metrics != nullptr) Count(&metrics->fax_refused[ServiceMetrics::kUnreadable]);
    platform::PrintError(platform::Priority::kWarning,
                         "qza_wdir: fax job '%s' not launched: it cannot be read\n",
                         Printable(path).c_str());
    return;
  }

  std::string command = "QZ_DOFAX.BAT ";
  command += std::string(lines[0]) + " \"" + lines[1] + "\" " + lines[2] + " " + lines[3];
  // The script gets each line as one argument, whatever it holds.
  const std::vector<std::string> arguments = {"QZ_DOFAX.BAT", lines[0], lines[1], lines[2],
                                              lines[3]};
  if (command.size() > kCommandMax) {
    // Never cut into a command that runs: the job stays for the operator.
    platform::PrintWarning(
        "Fax job longer than 237 characters in its four lines, not launched: %s\r\n", path);
    if (metrics != nullptr) Count(&metrics->fax_refused[ServiceMetrics::kInvalid]);
    return;
  }
  std::unique_ptr<CDosFile> pin = PinJob(path, identity);
  launched.now = clock_.now();
  const struct tm time = platform::LocalTime(launched.now);
  AnnouncePossibleRepeat(launched, settings, time, path, identity);
  Reserve(launched, path, identity, known);
  // A job whose script did not start stays to be tried again at later passes.
  if (LaunchDetached(command.c_str(), arguments) != 0) {
    launched.ledger.Remove(LedgerRecord::Kind::kFax, path);
    if (metrics != nullptr) Count(&metrics->fax_failed);
    return;
  }
  if (metrics != nullptr) Count(&metrics->fax_launched);
  DeleteLaunchedJob(launched, path, identity, known, std::move(pin));

  char log_line[512];
  std::snprintf(log_line, sizeof log_line,
                "%02d:%02d:%02d:Server %i, fax job launched [shell=%s]\r\n", time.tm_hour,
                time.tm_min, time.tm_sec, settings.Number, Printable(command.c_str()).c_str());
  AppendMonthlyLog("%s.\\qzf_%02d%02d.log", settings.AckPath, time, log_line);
}

}  // namespace qza
