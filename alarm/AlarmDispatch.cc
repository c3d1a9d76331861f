#include "alarm/AlarmDispatch.h"

#include <errno.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "alarm/AlarmFile.h"
#include "alarm/ArchiveIndex.h"
#include "alarm/SpareFile.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Wildcard.h"
#include "support/CDosFile.h"
#include "support/LaunchLedger.h"
#include "support/Launch.h"
#include "support/MonthlyLog.h"
#include "support/Printable.h"
#include "support/SpoolFile.h"

namespace qza {

namespace {

using Identity = platform::FileIdentity;

}  // namespace

// The handler's memory across alarms.
struct AlarmHandler::State {
  explicit State(LaunchLedger& l) : ledger(l) {}
  // What was launched and is still in the spool, shared with the fax handler:
  // the launch in hand, launches a crash interrupted (each keeps its archive
  // name until it is launched again), and alarms launched but left in the
  // spool (never launched again while they stay as they are).
  LaunchLedger& ledger;
  ServiceMetrics* metrics = nullptr;  // null: nothing is counted
  // The archive numbers of the month.
  ArchiveIndex archives;
  // The message file of the next alarm, made ahead.
  SpareFile spare;
};

namespace {

using AlarmState = AlarmHandler::State;

// Joins the directory and the name into a path buffer; false when the path
// passes 127 characters.
bool JoinInto(char (&out)[kPathSize], const char* directory, const std::string& name) {
  const std::string path = platform::JoinPath(directory, name);
  if (path.size() >= sizeof out) return false;
  std::memcpy(out, path.c_str(), path.size() + 1);
  return true;
}

// The first archive name of the month that is free: one status query per
// sequence number, from 1 up, not following links (a dangling link takes its
// name). The name an interrupted launch was given stays that alarm's.
bool Reserved(AlarmState& state, const char* archive) {
  return state.ledger.ArchiveReserved(archive);
}

// True when the file at `path` is an alarm that was launched and left.
bool LaunchedAndLeft(AlarmState& state, const char* path) {
  return state.ledger.LeftAsItWas(LedgerRecord::Kind::kAlarm, path);
}

// "YYMM_<server>": what the archive names of the month start with.
std::string ArchivePrefix(const Settings& settings, const struct tm& time) {
  char prefix[48];
  std::snprintf(prefix, sizeof prefix, "%02d%02d_%i", TwoDigitYear(time), time.tm_mon + 1,
                settings.Number);
  return prefix;
}

// Learns the month's taken numbers from one listing of WatchPath. False when
// the directory cannot be listed.
bool LearnMonth(const char* watch_path, ArchiveIndex& index, const std::string& prefix) {
  std::vector<std::string> names;
  const bool listed = platform::ListNames(watch_path, [&](const char* name, auto) {
                        if (ArchiveIndex::SequenceOf(prefix, name) != 0) names.emplace_back(name);
                      }).ok();
  if (listed) index.Rebuild(prefix, names);
  return listed;
}

bool FormArchiveName(const Settings& settings, const struct tm& time, int sequence,
                     char (&archive)[kPathSize]) {
  char name[64];
  std::snprintf(name, sizeof name, "%02d%02d_%i%02d.alr", TwoDigitYear(time), time.tm_mon + 1,
                settings.Number, sequence);
  return JoinInto(archive, settings.WatchPath, name);
}

// The first archive name of the month that is free, gaps included, from the
// numbers the index knows, each answer checked with one status query that
// does not follow links (a dangling link takes its name). The name an
// interrupted launch was given stays that alarm's. Without an index (the
// directory cannot be listed) every number is asked for from 1 up.
bool ChooseArchiveName(AlarmState& state, const Settings& settings, const struct tm& time,
                       char (&archive)[kPathSize]) {
  ArchiveIndex& index = state.archives;
  const std::string prefix = ArchivePrefix(settings, time);
  const bool known = index.Knows(prefix) || LearnMonth(settings.WatchPath, index, prefix);
  bool doubt = false;
  bool chosen = false;
  for (int sequence = known ? index.LowestFree() : 1;;
       sequence = known ? index.LowestFree(sequence + 1) : sequence + 1) {
    if (!FormArchiveName(settings, time, sequence, archive)) break;
    if (Reserved(state, archive)) continue;
    if (!platform::PathExists(archive)) {
      chosen = true;
      break;
    }
    if (known) {  // a name the index did not know of: events were missed
      index.MarkTaken(sequence);
      doubt = true;
    }
  }
  if (doubt) index.Invalidate();
  return chosen;
}

// Tells the index that the archive name is now taken.
void ArchiveTaken(AlarmState& state, const char* archive) {
  const char* name = std::strrchr(archive, '\\');
  state.archives.NameAppeared(name != nullptr ? name + 1 : archive);
}

// Says in the month's log that the launch that follows may repeat one made
// before, and why.
void LogPossibleRepeat(const Settings& settings, const struct tm& time, const char* why,
                       const char* path) {
  char line[512];
  std::snprintf(line, sizeof line,
                "%02d:%02d:%02d:Server %i, alarm launched again, it may be a repeat (%s) "
                "(file=%s)\r\n",
                time.tm_hour, time.tm_min, time.tm_sec, settings.Number, why, path);
  AppendMonthlyLog("%s.\\qza_%02d%02d.log", settings.AckPath, time, line);
}

// The archive name for this alarm: the one it was given before an
// interruption, when it is that alarm and the name is still free. A launch
// that may repeat an earlier one says so on the console and in the log.
bool ArchiveNameFor(AlarmState& state, const Settings& settings, const char* path,
                    const Identity& identity, const struct tm& time, char (&archive)[kPathSize]) {
  const LedgerRecord* r = state.ledger.Find(LedgerRecord::Kind::kAlarm, path);
  if (r != nullptr && r->state == LedgerRecord::State::kLaunching && r->identity == identity &&
      !r->archive.empty() && r->archive.size() < sizeof archive &&
      !platform::PathExists(r->archive.c_str())) {
    std::snprintf(archive, sizeof archive, "%s", r->archive.c_str());
    platform::Print(
        "'%s' was being launched when the service stopped: launched again as '%s'\r\n", path,
        archive);
    LogPossibleRepeat(settings, time, "the service stopped while launching it", path);
    return true;
  }
  if (!ChooseArchiveName(state, settings, time, archive)) return false;
  if (state.ledger.InDoubt()) {
    platform::Print("'%s' may have been launched before (the ledger was damaged): launched "
                    "again as '%s'\r\n",
                    path, archive);
    LogPossibleRepeat(settings, time, "the ledger was damaged", path);
  }
  return true;
}

// Records the launch before it happens. A ledger that cannot be written
// costs the crash guarantee (and says so), never the alarm.
void Reserve(AlarmState& state, const char* path, const Identity& identity, const char* archive,
             int64_t now) {
  state.ledger.Put(LedgerRecord::Of(LedgerRecord::Kind::kAlarm, LedgerRecord::State::kLaunching,
                                    identity, now, path, archive));
}

// The launch is over (archived, or left for good): the name is the alarm's.
void Release(AlarmState& state, const char* path) {
  state.ledger.Remove(LedgerRecord::Kind::kAlarm, path);
}

// The launched alarm's name holds another file now: the bytes that were read
// and launched become the archive, so that its name is taken and holds what
// its program was given. The new file waits for its own pass. Returns the
// failure of the write (EEXIST when the archive name is taken already).
platform::Status ArchiveWhatWasRead(const char* path, const char* archive,
                                    const std::string& bytes) {
  const platform::Status written =
      platform::PathExists(archive)
          ? platform::Status::Failure("create", EEXIST)
          : platform::WriteFileAtomically(archive, bytes.data(), bytes.size());
  if (!written.ok()) {
    platform::Print("FAILED to write '%s' from what was read of '%s': %s\r\n", archive, path,
                    written.reason());
    return written;
  }
  platform::Print("'%s' written to '%s' as it was read\r\n", path, archive);
  return written;
}

// Renames the alarm file to its archive name, and makes sure that what was
// renamed is the file that was read: a writer may swap another entry in at
// the name between the last look and the rename. That entry goes back to the
// spool name (a link or anything but a regular file is removed: it would be
// refused there anyway), and the archive is written from the bytes read.
// Success when the archive holds the alarm; else the failure that kept it
// out (EEXIST: someone took the archive name).
platform::Status RenameToArchive(const char* path, const char* archive, const Identity& identity,
                                 const std::string& bytes) {
  const platform::Status renamed = platform::RenameFile(path, archive);
  if (!renamed.ok()) {
    platform::Print("FAILED to rename '%s' to '%s': %s\r\n", path, archive, renamed.reason());
    platform::PrintError("qza_wdir: '%s' not archived as '%s'\n", path, archive);
    return renamed;
  }
  Identity moved;
  if (platform::IdentityOfRegularEntry(archive, &moved) && moved.SameFile(identity)) {
    platform::Print("'%s' renamed to '%s'\r\n", path, archive);
    return renamed;
  }
  const bool regular = platform::IdentityOfRegularEntry(archive, &moved);
  if (!platform::RenameFile(archive, path).ok() && !regular) {
    const platform::Status removed = platform::RemoveFile(archive);
    if (!removed.ok()) {
      platform::Print("FAILED to remove what was swapped in at '%s': %s\r\n", archive,
                      removed.reason());
    }
  }
  platform::Print("'%s' was replaced while it was handled: the launched alarm is archived as "
                  "it was read, the new file waits for its pass\r\n",
                  path);
  const platform::Status written = ArchiveWhatWasRead(path, archive, bytes);
  return platform::PathExists(archive) ? platform::Status() : written;
}

// A message id names a file in DbPath; one that could name a file elsewhere
// is refused.
bool SafeMessageId(const char* id) {
  if (std::strcmp(id, ".") == 0 || std::strcmp(id, "..") == 0) return false;
  return std::strpbrk(id, "\\/:") == nullptr && !HasControlCharacter(id);
}

void WriteMessageFile(AlarmState& state, const char* db_path, const AlarmRequest& request) {
  char name[kPathSize];
  const std::string file = std::string(request.message_id) + ".msg";
  if (!JoinInto(name, db_path, file) || !SafeMessageId(request.message_id)) {
    platform::Print("FAILED to write messagefile %s\n",
                    platform::JoinPath(db_path, Printable(file.c_str())).c_str());
    platform::PrintError("qza_wdir: %s.msg not written\n", Printable(request.message_id).c_str());
    return;
  }
  const size_t size = std::strlen(request.text);
  if (!state.spare.Publish(name, request.text, size).ok() &&
      !platform::RewriteFile(name, request.text, size).ok()) {
    platform::Print("FAILED to write messagefile %s\n", name);
    platform::PrintError("qza_wdir: message file %s not written\n", name);
    return;
  }
  platform::Print("Successfully written message file %s\n", name);
}

void WriteAcknowledgement(const Settings& settings, int console, const std::string& command_line,
                          const char* alarm_file) {
  char name[kPathSize];
  char lines[1024];
  const int length =
      std::snprintf(lines, sizeof lines, "Server %i: alarm launched [%s]\r\nServer %i: alarm-file %s\r\n",
                    settings.Number, command_line.c_str(), settings.Number, alarm_file);
  const bool written =
      JoinInto(name, settings.AckPath,
               "qza" + std::to_string(settings.Number) + "k" + std::to_string(console) + ".ack") &&
      length > 0 && static_cast<size_t>(length) < sizeof lines &&
      platform::RewriteFile(name, lines, static_cast<size_t>(length)).ok();
  platform::Print(written ? "Acknowledge successfull\n" : "Acknowledge FAILED\n");
  if (!written) platform::PrintError("qza_wdir: %s: acknowledgement not written\n", alarm_file);
}

void AppendAlarmLog(const Settings& settings, const struct tm& time, const std::string& command_line,
                    const char* alarm_file) {
  char log_line[1024];
  std::snprintf(log_line, sizeof log_line,
                "%02d:%02d:%02d:Server %i, alarm launched [shell=%s] (file=%s)\r\n", time.tm_hour,
                time.tm_min, time.tm_sec, settings.Number, command_line.c_str(), alarm_file);
  AppendMonthlyLog("%s.\\qza_%02d%02d.log", settings.AckPath, time, log_line);
}

// Opens the alarm file exclusively and reads its first kAlarmReadMax bytes
// with one read, and the identity of the file read (not of whatever holds
// its name a moment later). False (with a line) when it cannot be opened or
// read.
bool ReadAlarmBytes(const char* path, std::string* bytes, Identity* identity) {
  CDosFile file(path);
  if (!OpenSpoolFile(file, path, "alarm")) return false;
  bytes->assign(kAlarmReadMax, '\0');
  unsigned long count = 0;
  platform::FileStatus status;
  if (!file.Read(bytes->data(), kAlarmReadMax, &count) || !file.GetStatus(&status)) {
    platform::Print("Can't read alarm-file ! (%s)\r\n", platform::ErrorText(file.LastError()));
    return false;
  }
  bytes->resize(count);
  *identity = platform::IdentityOfStatus(status);
  return true;
}

// True when `path` still names the file that was read. A writer may have
// put a new file in its place meanwhile: that one is another alarm, which
// must neither vanish nor be archived unread; it waits for its own pass.
bool StillTheFileRead(const char* path, const Identity& identity) {
  const NameHolds holds = WhatNameHolds(path, identity);
  if (holds == NameHolds::kAnotherFile) ReportReplaced(path);
  return holds == NameHolds::kFileRead;  // gone: nothing is left to do
}

// Reads the alarm file and prints what reading it says. False when it cannot
// be read or names no type; an unknown type is deleted. A file that ends
// inside its type line is left only while its writer may still be at it (it
// changed in the last two seconds; one held open is not read at all), and
// is unrecognised, and deleted, after that.
bool ReadAlarm(const Settings& settings, const char* path, int64_t now, AlarmRequest* request,
               Identity* identity, std::string* read) {
  std::string& bytes = *read;
  if (!ReadAlarmBytes(path, &bytes, identity)) return false;
  std::vector<std::string> messages;
  const AlarmReadOutcome outcome =
      ParseAlarmLines(SplitAlarmLines(bytes.data(), bytes.size()), settings.UseVoxFile == 1,
                      request, &messages);
  for (const std::string& message : messages) platform::Print("%s", message.c_str());
  constexpr int64_t kWriterMoment = 2;  // seconds
  if (outcome == AlarmReadOutcome::kTypeLineOpen && now - identity->mtime < kWriterMoment) {
    platform::Print("'%s' ends inside its type line: left for its writer\r\n", path);
    return false;
  }
  if (outcome != AlarmReadOutcome::kRead) {
    if (!StillTheFileRead(path, *identity)) return false;
    if (const platform::Status removed = platform::RemoveFile(path); !removed.ok()) {
      platform::Print("FAILED to delete '%s': %s\r\n", path, removed.reason());
    }
    return false;
  }
  return true;
}

// Counts an alarm file that is not launched and names it among the
// journal's warnings (the account has said why already).
void Refuse(ServiceMetrics* metrics, ServiceMetrics::Refusal reason, const char* path) {
  if (metrics != nullptr) Count(&metrics->alarms_refused[reason]);
  platform::PrintError(platform::Priority::kWarning, "qza_wdir: alarm file '%s' not launched: %s\n",
                       Printable(path).c_str(),
                       reason == ServiceMetrics::kUnreadable ? "it cannot be read"
                                                             : "it is not a valid alarm file");
}

// Remembers an alarm that was launched but is still in the spool, with the
// archive name its program was given, in the ledger.
void LeaveForOperator(AlarmState& state, const char* path, const Identity& identity,
                      const char* archive, int64_t now) {
  state.ledger.Put(LedgerRecord::Of(LedgerRecord::Kind::kAlarm, LedgerRecord::State::kLeft,
                                    identity, now, path, archive));
  platform::Print(
      "'%s' was launched but could not be archived: it is left for the operator and not "
      "launched again\r\n",
      path);
}

// Launches `arguments` (shown as `command`), archives and releases the
// reservation. False when the program did not start (nothing records a launch
// then; the file stays).
bool LaunchAndArchive(AlarmState& state, const char* path, const Identity& identity,
                      const std::string& bytes, const char* command,
                      const std::vector<std::string>& arguments, const char* archive,
                      int64_t now, bool* archived) {
  Reserve(state, path, identity, archive, now);
  if (LaunchDetached(command, arguments) != 0) {
    Release(state, path);
    return false;
  }
  // The name may hold another file by now (its writer replaced the one that
  // was read): that file is a new alarm, and must not vanish into the archive.
  if (WhatNameHolds(path, identity) != NameHolds::kFileRead) {
    platform::Print("'%s' was replaced while it was handled: the launched alarm is archived as "
                    "it was read, the new file waits for its pass\r\n",
                    path);
    // Whether the archive was written is told by the name below, which
    // counts an archive someone else wrote meanwhile too.
    (void)ArchiveWhatWasRead(path, archive, bytes);
    ArchiveTaken(state, archive);
    Release(state, path);
    *archived = platform::PathExists(archive);
    return true;
  }
  const platform::Status renamed = RenameToArchive(path, archive, identity, bytes);
  *archived = renamed.ok();
  if (*archived) {
    ArchiveTaken(state, archive);
  } else if (renamed.error() == EEXIST) {
    state.archives.Invalidate();  // someone took the name meanwhile
  }
  if (*archived) {
    Release(state, path);
  } else {
    LeaveForOperator(state, path, identity, archive, now);
  }
  return true;
}

void CountLaunch(ServiceMetrics* metrics, int64_t now) {
  if (metrics == nullptr) return;
  Count(&metrics->alarms_launched);
  metrics->last_alarm_time = now;
}

}  // namespace

AlarmHandler::AlarmHandler(const Settings& settings, LaunchLedger& ledger,
                           const HandlerClock& clock, ServiceMetrics* metrics)
    : settings_(settings), clock_(clock), state_(std::make_unique<State>(ledger)) {
  state_->metrics = metrics;
}

AlarmHandler::~AlarmHandler() = default;

void AlarmHandler::LearnArchiveNames() {
  const Settings& settings = settings_;
  State& state = *state_;
  const std::string prefix = ArchivePrefix(settings, platform::LocalTime(clock_.now()));
  if (!state.archives.Knows(prefix)) LearnMonth(settings.WatchPath, state.archives, prefix);
}

void AlarmHandler::NameAppeared(const char* name) { state_->archives.NameAppeared(name); }
void AlarmHandler::NameLeft(const char* name) { state_->archives.NameLeft(name); }
void AlarmHandler::NamesMissed() { state_->archives.Invalidate(); }
void AlarmHandler::AfterPass() { state_->ledger.Prune(); }

void AlarmHandler::Handle(const char* path, const char* name) {
  // The sixth character of the name carries the console digit; a shorter name
  // gives the terminator, as the Windows find record would.
  const char sixth = std::strlen(name) > 5 ? name[5] : '\0';
  ProcessAlarmFile(path, static_cast<signed char>(sixth) - '0');
}

void AlarmHandler::ProcessAlarmFile(const char* path, int console) {
  const Settings& settings = settings_;
  State& state = *state_;
  if (LaunchedAndLeft(state, path)) return;
  const struct tm time = platform::LocalTime(clock_.now());
  platform::Print("proceeding alarm in '%s'\r\n", path);

  AlarmRequest request;
  Identity identity;
  std::string bytes;
  const int64_t now = clock_.now();
  ServiceMetrics* metrics = state.metrics;
  if (!ReadAlarm(settings, path, now, &request, &identity, &bytes)) {
    const bool read = !(identity == Identity());
    Refuse(metrics, read ? ServiceMetrics::kInvalid : ServiceMetrics::kUnreadable, path);
    return;
  }

  char archive[kPathSize];
  if (!ArchiveNameFor(state, settings, path, identity, time, archive)) {
    platform::PrintWarning("Archive name longer than 127 characters, alarm file left: %s\r\n",
                           path);
    return;
  }
  char final_command[kAlarmCommandMax + 1];
  const bool fits = request.within_limits &&
                    std::snprintf(final_command, sizeof final_command, "%s%s",
                                  request.command_line, archive) <= int{kAlarmCommandMax};
  if (!fits) {  // never launched, never cut: it stays like any invalid file
    platform::Print("Invalid alarm-file !\r\n");
    Refuse(metrics, ServiceMetrics::kInvalid, path);
    return;
  }
  const bool outlook = request.type == AlarmType::OutlookStart;
  bool archived = false;
  if (outlook && !LaunchAndArchive(state, path, identity, bytes, request.command_line,
                                   request.arguments, archive, now, &archived)) {
    if (metrics != nullptr) Count(&metrics->alarms_failed);
    return;
  }
  if (outlook) CountLaunch(metrics, now);
  if (!AlarmChecksumValid(request)) {
    platform::Print("Invalid alarm-file !\r\n");
    Refuse(metrics, ServiceMetrics::kInvalid, path);
    return;
  }
  if (request.text[0] != '\0') WriteMessageFile(state, settings.DbPath, request);
  // An Outlook start was launched and archived already.
  std::vector<std::string> final_arguments = request.arguments;
  final_arguments.emplace_back(archive);  // one argument, whatever WatchPath holds
  if (!outlook && !LaunchAndArchive(state, path, identity, bytes, final_command, final_arguments,
                                    archive, now, &archived)) {
    if (metrics != nullptr) Count(&metrics->alarms_failed);
    return;
  }
  if (!outlook) CountLaunch(metrics, now);
  if (!archived && metrics != nullptr) {
    Count(&metrics->alarms_refused[ServiceMetrics::kLeftForOperator]);
  }
  // For an Outlook start too, the records name the command line that was
  // started followed by the archive name, or the spool file where it stayed.
  const std::string printable = Printable(final_command);
  const char* alarm_file = archived ? archive : path;
  WriteAcknowledgement(settings, console, printable, alarm_file);
  AppendAlarmLog(settings, time, printable, alarm_file);
  state.spare.MakeAhead(settings.DbPath);
}

}  // namespace qza
