#include "alarm/AlarmDispatch.h"

#include <cstdio>
#include <cstring>

#include "alarm/AlarmFile.h"
#include "core/Settings.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/FileSystem.h"
#include "support/CDosFile.h"
#include "support/CProcess.h"
#include "support/MonthlyLog.h"

namespace {

constexpr unsigned long kReadExclusive = 16;     // OF_READ | OF_SHARE_EXCLUSIVE
constexpr unsigned long kWriteDenyNone = 65;     // OF_WRITE | OF_SHARE_DENY_NONE

// Formats into a path buffer; false when the result passes 127 characters.
template <typename... Args>
bool FormatPath(char (&out)[kPathSize], const char* format, Args... args) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int length = std::snprintf(out, sizeof out, format, args...);
#pragma GCC diagnostic pop
  return length >= 0 && length < kPathSize;
}

// The first archive name of the month that does not exist yet: one status
// query per sequence number, from 1 up; the directory is never listed.
bool ChooseArchiveName(const struct tm& time, char (&archive)[kPathSize]) {
  for (int sequence = 1;; ++sequence) {
    if (!FormatPath(archive, "%s.\\%02d%02d_%i%02d.alr", g_settings.WatchPath,
                    TwoDigitYear(time), time.tm_mon + 1, g_settings.Number, sequence)) {
      return false;
    }
    if (!platform::PathExists(archive)) return true;
  }
}

void Launch(const char* command_line) {
  platform::Print("launching [%s]\r\n", command_line);
  CProcess process(command_line);
  process.Run(0, 1);  // a program that cannot start goes unnoticed, as specified
  process.Detach();
}

void RenameToArchive(const char* path, const char* archive) {
  platform::RenameFile(path, archive);
  platform::Print("'%s' renamed to '%s'\r\n", path, archive);
}

// A message id names a file in DbPath; one that could name a file elsewhere
// is refused.
bool SafeMessageId(const char* id) {
  if (std::strcmp(id, ".") == 0 || std::strcmp(id, "..") == 0) return false;
  return std::strpbrk(id, "\\/:") == nullptr;
}

void WriteMessageFile(const AlarmRequest& request) {
  char name[kPathSize];
  bool formed = FormatPath(name, "%s.\\%s.msg", g_settings.DbPath, request.message_id);
  if (!formed || !SafeMessageId(request.message_id)) {
    platform::Print("FAILED to write messagefile %s.\\%s.msg\n", g_settings.DbPath,
                    request.message_id);
    return;
  }
  CDosFile file(name);
  if (!file.Create(kWriteDenyNone)) {
    platform::Print("FAILED to write messagefile %s\n", name);
    return;
  }
  file.Write(request.text, std::strlen(request.text));
  file.Close();
  platform::Print("Successfully written message file %s\n", name);
}

void WriteAcknowledgement(const char* command_line, const char* archive) {
  char name[kPathSize];
  platform::Print("Acknowledge ");
  CDosFile file(FormatPath(name, "%s.\\qza%ik%i.ack", g_settings.AckPath, g_settings.Number,
                           CurrentConsole)
                    ? name
                    : nullptr);
  if (!file.Create(kWriteDenyNone)) {
    platform::Print("FAILED\n");
    return;
  }
  char lines[512];
  std::snprintf(lines, sizeof lines, "Server %i: alarm launched [%s]\r\nServer %i: alarm-file %s\r\n",
                g_settings.Number, command_line, g_settings.Number, archive);
  file.Write(lines, std::strlen(lines));
  file.Close();
  platform::Print("successfull\n");
}

}  // namespace

void ProcessAlarmFile(const char* path) {
  const struct tm time = platform::LocalTime(platform::Now());
  platform::Print("proceeding alarm in '%s'\r\n", path);

  AlarmRequest request;
  {
    CDosFile file(path);
    if (!file.Open(kReadExclusive)) {
      platform::Print("Can't open alarm-file !\r\n");
      return;
    }
    if (ReadAlarmFile(file, &request) == AlarmReadOutcome::kUnrecognisedType) {
      file.Close();
      platform::RemoveFile(path);
      return;
    }
  }  // all twenty lines have been read; the file is closed

  char archive[kPathSize];
  if (!ChooseArchiveName(time, archive)) {
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
  if (outlook) {
    Launch(request.command_line);
    RenameToArchive(path, archive);
  }
  if (!AlarmChecksumValid(request)) {
    platform::Print("Invalid alarm-file !\r\n");
    return;
  }
  if (request.text[0] != '\0') WriteMessageFile(request);
  if (!outlook) {  // an Outlook start was launched and archived already
    Launch(final_command);
    RenameToArchive(path, archive);
  }
  // For an Outlook start too, the records name the command line that was
  // started followed by the archive name.
  WriteAcknowledgement(final_command, archive);
  char log_line[512];
  std::snprintf(log_line, sizeof log_line,
                "%02d:%02d:%02d:Server %i, alarm launched [shell=%s] (file=%s)\r\n", time.tm_hour,
                time.tm_min, time.tm_sec, g_settings.Number, final_command, archive);
  AppendMonthlyLog("%s.\\qza_%02d%02d.log", g_settings.AckPath, time, log_line);
}
