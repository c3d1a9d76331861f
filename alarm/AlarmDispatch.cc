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
#include "platform/Journal.h"
#include "platform/Path.h"
#include "platform/Wildcard.h"
#include "support/CDosFile.h"
#include "support/Launch.h"
#include "support/MonthlyLog.h"
#include "support/Printable.h"
#include "support/SpoolFile.h"

namespace {

// Two paths of at most 127 characters, four numbers of at most 20 digits and
// the left-in-the-spool flag.
constexpr size_t kLongestReservation = 2 * 128 + 4 * 21 + 3;

using Identity = platform::FileIdentity;

// An alarm whose launch was under way: its file and the archive name it was
// given.
struct Reservation {
  std::string archive;  // empty: none
  std::string path;
  Identity identity;
  // Launched, and then left in the spool because it could not be archived:
  // never launched again, and its archive name is never given to another.
  bool stuck = false;

  std::string Text() const {
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "%" PRIu64 " %" PRIu64 " %" PRId64 " %" PRId64 " %d",
                  identity.dev, identity.ino, identity.size, identity.mtime,
                  stuck ? 1 : 0);
    return archive + "\n" + path + "\n" + numbers + "\n";
  }
  // Reads the reservations of a journal text, three lines each.
  static std::vector<Reservation> ParseAll(const std::string& text) {
    std::vector<Reservation> all;
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
      const size_t end = text.find('\n', at);
      if (end == std::string::npos) break;
      lines.push_back(text.substr(at, end - at));
      at = end + 1;
    }
    for (size_t i = 0; i + 2 < lines.size(); i += 3) {
      Reservation r;
      Identity& id = r.identity;
      int stuck = 0;
      if (std::sscanf(lines[i + 2].c_str(), "%" SCNu64 " %" SCNu64 " %" SCNd64 " %" SCNd64 " %d",
                      &id.dev, &id.ino, &id.size, &id.mtime, &stuck) < 4) {
        break;
      }
      r.stuck = stuck == 1;
      r.archive = lines[i];
      r.path = lines[i + 1];
      all.push_back(r);
    }
    return all;
  }
  // True while the file is still in the spool, as it was.
  bool FileUnchanged() const {
    Identity now;
    return platform::IdentityOfPath(path.c_str(), &now) && now == identity;
  }
  // True while the alarm is still in the spool, unarchived.
  bool StillPending() const { return FileUnchanged() && !platform::PathExists(archive.c_str()); }
};

// The handler's memory across alarms.
struct AlarmState {
  platform::Journal journal;
  bool journal_tried = false;
  // Left by earlier runs that ended while launching these alarms; each keeps
  // its archive name until it is launched again.
  std::vector<Reservation> interrupted;
  // Alarms that were launched but could not be archived, kept in the journal
  // too: never launched again, not after a restart either, while the file
  // stays as it is; their archive names stay theirs.
  std::vector<Reservation> stuck;
  // The archive numbers of the month.
  ArchiveIndex archives;
  // The message file of the next alarm, made ahead.
  SpareFile spare;
};

AlarmState& State() {
  static AlarmState state;
  return state;
}

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
bool Reserved(const char* archive) {
  for (const auto* list : {&State().interrupted, &State().stuck}) {
    for (const Reservation& r : *list) {
      if (r.archive == archive) return true;
    }
  }
  return false;
}

// True when the file at `path` is an alarm that was launched and left.
bool LaunchedAndLeft(const char* path) {
  std::vector<Reservation>& stuck = State().stuck;
  if (stuck.empty()) return false;
  Identity seen;
  if (!platform::IdentityOfPath(path, &seen)) return false;
  for (const Reservation& r : stuck) {
    if (r.identity == seen) return true;
  }
  return false;
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
  });
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
bool ChooseArchiveName(const Settings& settings, const struct tm& time,
                       char (&archive)[kPathSize]) {
  ArchiveIndex& index = State().archives;
  const std::string prefix = ArchivePrefix(settings, time);
  const bool known = index.Knows(prefix) || LearnMonth(settings.WatchPath, index, prefix);
  bool doubt = false;
  bool chosen = false;
  for (int sequence = known ? index.LowestFree() : 1;;
       sequence = known ? index.LowestFree(sequence + 1) : sequence + 1) {
    if (!FormArchiveName(settings, time, sequence, archive)) break;
    if (Reserved(archive)) continue;
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
void ArchiveTaken(const char* archive) {
  const char* name = std::strrchr(archive, '\\');
  State().archives.NameAppeared(name != nullptr ? name + 1 : archive);
}

// The archive name for this alarm: the one it was given before an
// interruption, when it is that alarm and the name is still free.
bool ArchiveNameFor(const Settings& settings, const char* path, const Identity& identity,
                    const struct tm& time, char (&archive)[kPathSize]) {
  for (const Reservation& interrupted : State().interrupted) {
    if (interrupted.path == path && interrupted.identity == identity &&
        interrupted.archive.size() < sizeof archive &&
        !platform::PathExists(interrupted.archive.c_str())) {
      std::snprintf(archive, sizeof archive, "%s", interrupted.archive.c_str());
      platform::Print(
          "'%s' was being launched when the service stopped: launched again as '%s'\r\n", path,
          archive);
      return true;
    }
  }
  return ChooseArchiveName(settings, time, archive);
}

// The journal's text: the interrupted launches still pending, and `current`.
std::string JournalText(const Reservation* current) {
  std::string text;
  for (const Reservation& r : State().stuck) text += r.Text();
  for (const Reservation& r : State().interrupted) text += r.Text();
  if (current != nullptr) text += current->Text();
  return text;
}

// Records the launch before it happens. A journal that cannot be written
// costs the crash guarantee, never the alarm.
void Reserve(const char* path, const Identity& identity, const char* archive) {
  AlarmState& state = State();
  if (!state.journal.IsOpen()) return;
  const Reservation current{archive, path, identity};
  if (!state.journal.Store(JournalText(&current))) {
    platform::Print("ERROR: journal %s could not be written: %s\r\n", kAlarmJournalName,
                    platform::ErrorText(errno));
  }
}

// The launch is over (archived, or left for good): the name is the alarm's.
void Release(const char* path) {
  AlarmState& state = State();
  std::vector<Reservation>& pending = state.interrupted;
  for (auto it = pending.begin(); it != pending.end();) {
    it = it->path == path ? pending.erase(it) : it + 1;
  }
  if (!state.journal.IsOpen()) return;
  if (pending.empty() && state.stuck.empty()) {
    state.journal.Clear();
  } else {
    state.journal.Store(JournalText(nullptr));
  }
}

bool RenameToArchive(const char* path, const char* archive) {
  if (!platform::RenameFile(path, archive)) {
    platform::Print("FAILED to rename '%s' to '%s': %s\r\n", path, archive,
                    platform::ErrorText(errno));
    return false;
  }
  platform::Print("'%s' renamed to '%s'\r\n", path, archive);
  return true;
}

// A message id names a file in DbPath; one that could name a file elsewhere
// is refused.
bool SafeMessageId(const char* id) {
  if (std::strcmp(id, ".") == 0 || std::strcmp(id, "..") == 0) return false;
  return std::strpbrk(id, "\\/:") == nullptr && !HasControlCharacter(id);
}

void WriteMessageFile(const char* db_path, const AlarmRequest& request) {
  char name[kPathSize];
  const std::string file = std::string(request.message_id) + ".msg";
  if (!JoinInto(name, db_path, file) || !SafeMessageId(request.message_id)) {
    platform::Print("FAILED to write messagefile %s\n",
                    platform::JoinPath(db_path, Printable(file.c_str())).c_str());
    return;
  }
  const size_t size = std::strlen(request.text);
  if (!State().spare.Publish(name, request.text, size) &&
      !platform::RewriteFile(name, request.text, size)) {
    platform::Print("FAILED to write messagefile %s\n", name);
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
      platform::RewriteFile(name, lines, static_cast<size_t>(length));
  platform::Print(written ? "Acknowledge successfull\n" : "Acknowledge FAILED\n");
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
  if (!OpenSpoolFile(file, "alarm")) return false;
  bytes->assign(kAlarmReadMax, '\0');
  unsigned long count = 0;
  platform::FileStatus status;
  if (!file.Read(bytes->data(), kAlarmReadMax, &count) || !file.GetStatus(&status)) {
    platform::Print("Can't read alarm-file ! (%s)\r\n", platform::ErrorText(errno));
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
// be read or names no type; an unknown type is deleted, unless the file ends
// inside its type line (its writer may not be done with it).
bool ReadAlarm(const Settings& settings, const char* path, AlarmRequest* request,
               Identity* identity) {
  std::string bytes;
  if (!ReadAlarmBytes(path, &bytes, identity)) return false;
  std::vector<std::string> messages;
  const AlarmReadOutcome outcome =
      ParseAlarmLines(SplitAlarmLines(bytes.data(), bytes.size()), settings.UseVoxFile == 1,
                      request, &messages);
  for (const std::string& message : messages) platform::Print("%s", message.c_str());
  if (outcome == AlarmReadOutcome::kTypeLineOpen) {
    platform::Print("'%s' ends inside its type line: left for its writer\r\n", path);
    return false;
  }
  if (outcome == AlarmReadOutcome::kUnrecognisedType) {
    if (!StillTheFileRead(path, *identity)) return false;
    if (!platform::RemoveFile(path)) {
      platform::Print("FAILED to delete '%s': %s\r\n", path, platform::ErrorText(errno));
    }
    return false;
  }
  return true;
}

// Remembers an alarm that was launched but is still in the spool, with the
// archive name its program was given, in memory and in the journal.
void LeaveForOperator(const char* path, const Identity& identity, const char* archive) {
  AlarmState& state = State();
  std::vector<Reservation>& stuck = state.stuck;
  for (auto it = stuck.begin(); it != stuck.end();) {  // files the operator cleared away
    it = it->FileUnchanged() ? it + 1 : stuck.erase(it);
  }
  Reservation left{archive, path, identity};
  left.stuck = true;
  stuck.push_back(left);
  if (state.journal.IsOpen() && !state.journal.Store(JournalText(nullptr))) {
    platform::Print("ERROR: journal %s could not be written: %s\r\n", kAlarmJournalName,
                    platform::ErrorText(errno));
  }
  platform::Print(
      "'%s' was launched but could not be archived: it is left for the operator and not "
      "launched again\r\n",
      path);
}

// Launches `arguments` (shown as `command`), archives and releases the
// reservation. False when the program did not start (nothing records a launch
// then; the file stays).
bool LaunchAndArchive(const char* path, const Identity& identity, const char* command,
                      const std::vector<std::string>& arguments, const char* archive,
                      bool* archived) {
  Reserve(path, identity, archive);
  if (LaunchDetached(command, arguments) != 0) {
    Release(path);
    return false;
  }
  // The name may hold another file by now (its writer replaced the one that
  // was read): that file is a new alarm, and must not vanish into the archive.
  if (WhatNameHolds(path, identity) != NameHolds::kFileRead) {
    platform::Print("'%s' was replaced while it was handled: the launched alarm cannot be "
                    "archived, the new file waits for its pass\r\n",
                    path);
    Release(path);
    // Its program was given the archive name: no other alarm gets it.
    Reservation gone{archive, path, identity};
    gone.stuck = true;
    State().stuck.push_back(gone);
    *archived = false;
    return true;
  }
  *archived = RenameToArchive(path, archive);
  if (*archived) {
    ArchiveTaken(archive);
  } else if (errno == EEXIST) {
    State().archives.Invalidate();  // someone took the name meanwhile
  }
  Release(path);
  if (!*archived) LeaveForOperator(path, identity, archive);
  return true;
}

}  // namespace

void LearnArchiveNames(const Settings& settings) {
  const std::string prefix = ArchivePrefix(settings, platform::LocalTime(platform::Now()));
  if (!State().archives.Knows(prefix)) LearnMonth(settings.WatchPath, State().archives, prefix);
}

void OpenAlarmJournal() {
  AlarmState& state = State();
  if (state.journal_tried) return;
  state.journal_tried = true;
  if (!state.journal.Open(kAlarmJournalName)) {
    platform::Print(
        "ERROR: journal %s cannot be used: %s; an alarm interrupted by a crash may be "
        "launched again under another archive name\r\n",
        kAlarmJournalName, platform::ErrorText(errno));
    return;
  }
  // Launches that an earlier run left unfinished and whose files still wait;
  // the oldest give way when the journal would overflow.
  for (const Reservation& r : Reservation::ParseAll(state.journal.Load())) {
    if (r.stuck && r.FileUnchanged()) {
      state.stuck.push_back(r);
    } else if (!r.stuck && r.StillPending()) {
      state.interrupted.push_back(r);
    }
  }
  while (!state.interrupted.empty() &&
         JournalText(nullptr).size() + kLongestReservation > platform::Journal::kCapacity) {
    state.interrupted.erase(state.interrupted.begin());
  }
}

void ArchiveNameAppeared(const char* name) { State().archives.NameAppeared(name); }
void ArchiveNameLeft(const char* name) { State().archives.NameLeft(name); }
void ArchiveNamesMissed() { State().archives.Invalidate(); }

void ResetAlarmState() {
  AlarmState& state = State();
  state.stuck.clear();
  state.interrupted.clear();
  state.archives.Invalidate();
}

void ProcessAlarmFile(const Settings& settings, const char* path, int console) {
  if (LaunchedAndLeft(path)) return;
  const struct tm time = platform::LocalTime(platform::Now());
  platform::Print("proceeding alarm in '%s'\r\n", path);

  AlarmRequest request;
  Identity identity;
  if (!ReadAlarm(settings, path, &request, &identity)) return;

  char archive[kPathSize];
  if (!ArchiveNameFor(settings, path, identity, time, archive)) {
    platform::Print("Archive name longer than 127 characters, alarm file left: %s\r\n", path);
    return;
  }
  char final_command[kAlarmCommandMax + 1];
  const bool fits = request.within_limits &&
                    std::snprintf(final_command, sizeof final_command, "%s%s",
                                  request.command_line, archive) <= int{kAlarmCommandMax};
  if (!fits) {  // never launched, never cut: it stays like any invalid file
    platform::Print("Invalid alarm-file !\r\n");
    return;
  }
  const bool outlook = request.type == AlarmType::OutlookStart;
  bool archived = false;
  if (outlook && !LaunchAndArchive(path, identity, request.command_line, request.arguments,
                                   archive, &archived)) {
    return;
  }
  if (!AlarmChecksumValid(request)) {
    platform::Print("Invalid alarm-file !\r\n");
    return;
  }
  if (request.text[0] != '\0') WriteMessageFile(settings.DbPath, request);
  // An Outlook start was launched and archived already.
  std::vector<std::string> final_arguments = request.arguments;
  final_arguments.emplace_back(archive);  // one argument, whatever WatchPath holds
  if (!outlook &&
      !LaunchAndArchive(path, identity, final_command, final_arguments, archive, &archived)) {
    return;
  }
  // For an Outlook start too, the records name the command line that was
  // started followed by the archive name, or the spool file where it stayed.
  const std::string printable = Printable(final_command);
  const char* alarm_file = archived ? archive : path;
  WriteAcknowledgement(settings, console, printable, alarm_file);
  AppendAlarmLog(settings, time, printable, alarm_file);
  State().spare.MakeAhead(settings.DbPath);
}
