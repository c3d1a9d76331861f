#include "core/Check.h"

#include <errno.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "core/Configuration.h"
#include "core/Pattern.h"
#include "platform/Access.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/FileSystemKind.h"
#include "platform/Path.h"
#include "platform/Process.h"
#include "platform/Profile.h"
#include "watchdog/Watchdog.h"

namespace qza {

namespace {

// The longest time-out whose milliseconds fit the wait's unsigned 32 bits.
constexpr int64_t kMaxWaitForSec = UINT32_MAX / 1000u;

using Problems = std::vector<std::string>;

std::string Setting(const char* key, const char* value) { return std::string(key) + "=" + value; }

// The directory part of a native file path ("." for a bare name).
std::string DirectoryOf(const std::string& file) {
  const size_t last = file.find_last_of("/\\");
  return last == std::string::npos ? std::string(".") : file.substr(0, last + 1);
}

// Only the service's user (or root) may write what decides what the service
// records or runs.
void CheckOthersCannotWrite(const std::string& what, const char* path, const char* role,
                            Problems* problems) {
  const std::string others = platform::OtherWriters(path);
  if (others.empty()) return;
  problems->push_back(
      what + " can be written by " + others + ": " + role + " must be writable by " +
      platform::ProcessUserName() +
      " and root only (chown it to the service's user, remove group and other write "
      "permission)");
}

// A directory the service must find, and write when `write`.
bool CheckDirectory(const char* key, const char* value, bool write, Problems* problems) {
  const std::string what = Setting(key, value);
  const platform::Status status = platform::DirectoryProblem(value, write);
  if (status.ok()) return true;
  const int error = status.error();
  const std::string user = platform::ProcessUserName();
  if (error == ENOENT) {
    problems->push_back(what + " does not exist: create it, owned by " + user);
  } else if (error == ENOTDIR) {
    problems->push_back(what + " is not a directory: name a directory");
  } else if (error == EACCES) {
    problems->push_back(what + " is not " + (write ? "writable" : "readable") + " by " + user +
                        ": give " + user + " read" + (write ? ", write" : "") +
                        " and search permission on it");
  } else if (error == EROFS) {
    problems->push_back(what + " lies on a file system that is read-only for " + user +
                        ": under the systemd unit, name it in ReadWritePaths= of a drop-in");
  } else {
    problems->push_back(what + " cannot be examined (" + status.reason() +
                        "): make it a directory that " + user + " can use");
  }
  return false;
}

// A spool pattern must name files in the directory that their paths are
// joined to, and a formatted one must put the server number in plainly.
void CheckPattern(const char* key, const char* pattern, const char* directory_key,
                  const char* directory, bool takes_number, int number, Problems* problems) {
  const std::string what = Setting(key, pattern);
  char formed[kPathSize];
  if (takes_number) {
    if (!IsServerNumberFormat(pattern)) {
      problems->push_back(what +
                          " holds a conversion other than one plain %i or %d (a width or "
                          "precision is refused too): the service refuses it and scans no such "
                          "files; write the server number as %i");
      return;
    }
    for (const char* p = std::strchr(pattern, '%'); p != nullptr; p = std::strchr(p + 2, '%')) {
      if (p[1] == '%') continue;
      if (p[1] != 'i' && p[1] != 'd') {
        problems->push_back(
            what +
            " has a flag in its conversion: the number then moves the console digit from the "
            "sixth character; write %i alone");
        return;
      }
    }
    if (!FormatServerPattern(pattern, number, formed, sizeof formed)) {
      problems->push_back(what + " gives a pattern longer than 127 characters: shorten it");
      return;
    }
  } else {
    std::snprintf(formed, sizeof formed, "%s", pattern);
  }
  std::string pattern_directory;
  std::string name;
  platform::SplitPattern(formed, &pattern_directory, &name);
  if (name.empty()) {
    problems->push_back(what + " names no files: end it with the file name pattern");
    return;
  }
  const std::string native_pattern = platform::NativeDirectory(pattern_directory.c_str());
  const std::string native_directory = platform::NativeDirectory(directory);
  platform::FileStatus a;
  platform::FileStatus b;
  const bool same =
      native_pattern == native_directory ||
      (platform::StatPath(native_pattern.c_str(), &a).ok() &&
       platform::StatPath(native_directory.c_str(), &b).ok() && a.dev == b.dev && a.ino == b.ino);
  if (!same) {
    problems->push_back(
        what + " lies outside " + Setting(directory_key, directory) +
        ": the files it finds are handled under that directory; put the pattern in it");
  }
}

// An installation program, found as a launch finds it.
void CheckProgram(const std::string& command, const char* needed_for, Problems* problems) {
  std::vector<std::string> words;
  std::string program;
  const std::string word = platform::SplitCommandLine(command.c_str()).front();
  const platform::Status found = platform::CommandProgram(command.c_str(), &words, &program);
  if (!found.ok()) {
    if (found.error() == EACCES) {
      problems->push_back(word + " (" + needed_for + ") is found but not executable by " +
                          platform::ProcessUserName() + ": make it executable");
    } else {
      const bool bare = word.find_first_of("\\/") == std::string::npos;
      problems->push_back(
          word + " (" + needed_for + ") is not found" +
          (bare ? " beside qza_wdir, in the installation directory or along PATH" : "") + " (" +
          found.reason() + "): install it there");
    }
    return;
  }
  CheckOthersCannotWrite(word + " at " + program, program.c_str(), "the programs it runs",
                         problems);
  const std::string directory = DirectoryOf(program);
  CheckOthersCannotWrite("the directory " + directory + " of " + word, directory.c_str(),
                         "the directories of the programs it runs", problems);
}

}  // namespace

std::vector<std::string> FindProblems(const Settings& s) {
  Problems problems;
  // The installation directory holds the ini files, the lock and the journals.
  if (!platform::PathExists("qza_wdir.ini")) {
    problems.push_back(
        "qza_wdir.ini is missing here: the service would run on defaults and write "
        "them into a new qza_wdir.ini; check in the installation directory");
  }
  for (const char* ini : {"qza_wdir.ini", "qzalarm.ini"}) {
    const platform::Result<platform::ProfileFault> checked = platform::CheckProfileFile(ini);
    std::string fault;
    if (!checked.ok()) fault = std::string("cannot be read (") + checked.status().reason() + ")";
    switch (checked.value()) {
      case platform::ProfileFault::kNone:
        break;
      case platform::ProfileFault::kTooLarge:
        fault = "is larger than 1 MiB, so the service reads none of it";
        break;
      case platform::ProfileFault::kNulByte:
        fault = "holds a NUL byte";
        break;
      case platform::ProfileFault::kLongLine:
        fault = "has a line longer than 64 KiB";
        break;
      case platform::ProfileFault::kNoSection:
        fault = "has no [section] line, so none of its lines is a setting";
        break;
    }
    if (!fault.empty()) {
      problems.push_back(std::string(ini) + " " + fault +
                         ": it is no ini file as the service reads one; write it anew");
    }
  }
  if (s.DbPath[0] == '\0') {
    problems.push_back(
        "qzalarm.ini gives no [qzawrdb] DbPath: message files would be written into "
        "the installation directory; name the message file directory there");
  }
  CheckDirectory("the installation directory", ".", true, &problems);
  CheckOthersCannotWrite("The installation directory", ".", "the directory of the ini files",
                         &problems);
  for (const char* ini : {"qza_wdir.ini", "qzalarm.ini"}) {
    CheckOthersCannotWrite(ini, ini, "the ini files", &problems);
  }

  struct {
    const char* key;
    const char* value;
    const char* role;  // null: spool writers may write it
  } const directories[] = {
      {"Pathnames/WatchPath", s.WatchPath, nullptr},
      {"Pathnames/JobPath", s.JobPath, nullptr},
      {"Pathnames/TtsPath", s.TtsPath, nullptr},
      {"Pathnames/AckPath", s.AckPath, "the directories of its records"},
      {"Pathnames/TtsLogPath", s.TtsLogPath, "the directories of its records"},
      {"qzawrdb/DbPath", s.DbPath, "the directories of its records"},
      {"Pathnames/SvoxPath", s.SvoxPath, "the synthesiser's directory"},
  };
  // A directory named by several keys is one problem: it is named by its first
  // key, and by its first key with a role for who else may write it.
  std::set<std::string> seen;
  std::set<std::string> seen_with_role;
  for (const auto& d : directories) {
    if (d.value[0] == '\0') continue;  // DbPath: said above
    const std::string native = platform::NativeDirectory(d.value);
    const bool first = seen.insert(native).second;
    const bool usable = first ? CheckDirectory(d.key, d.value, true, &problems)
                              : platform::DirectoryProblem(d.value, true).ok();
    if (usable && d.role != nullptr && seen_with_role.insert(native).second) {
      CheckOthersCannotWrite(Setting(d.key, d.value), d.value, d.role, &problems);
    }
  }
  if (!platform::IsAbsolutePathText(s.SvoxPath)) {
    problems.push_back(Setting("Pathnames/SvoxPath", s.SvoxPath) +
                       " is relative: the synthesiser runs there; name it absolutely");
  }

  CheckPattern("Pathnames/WatchFiles", s.WatchFiles, "Pathnames/WatchPath", s.WatchPath, true,
               s.Number, &problems);
  CheckPattern("Pathnames/WatchDogFiles", s.WatchDogFiles, "Pathnames/WatchPath", s.WatchPath, true,
               s.Number, &problems);
  CheckPattern("Pathnames/WatchJobFiles", s.WatchJobFiles, "Pathnames/JobPath", s.JobPath, false,
               s.Number, &problems);
  CheckPattern("Pathnames/WatchTtsFiles", s.WatchTtsFiles, "Pathnames/TtsPath", s.TtsPath, false,
               s.Number, &problems);

  CheckProgram("QZARUN.CMD", "alarms", &problems);
  CheckProgram("tovarin.exe", "OLSTART alarms", &problems);
  CheckProgram("QZ_DOFAX.BAT", "fax jobs", &problems);
  int all[kConsoleCount] = {};
  int one[kConsoleCount] = {};
  if (ParseConsoleList(s.NeedAllConsOf, all) > 0) {
    CheckProgram("QZA_WARN.BAT", "Server/NeedAllConsOf", &problems);
  }
  if (ParseConsoleList(s.NeedOneConsOf, one) > 0) {
    CheckProgram("QZA_WARN.CMD", "Server/NeedOneConsOf", &problems);
  }
  CheckProgram(platform::JoinPath(s.SvoxPath, "svox.exe"), "speech jobs", &problems);

  if (const char* remote = platform::RemoteFileSystemOf(s.WatchPath)) {
    if (s.PollSec == 0) {
      problems.push_back(Setting("Pathnames/WatchPath", s.WatchPath) + " is on a " + remote +
                         " file system, whose changes made by other machines are not notified, and "
                         "Server/PollSec=0 turns scanning off: set PollSec to -1 or a number of "
                         "seconds");
    }
  }
  if (s.WaitForSec < 1 || s.WaitForSec > kMaxWaitForSec) {
    const char* taken = s.WaitForSec < 0    ? " (the service takes the default 180 instead)"
                        : s.WaitForSec == 0 ? " (the service takes 1 instead)"
                                            : "";
    problems.push_back("Server/WaitForSec=" + std::to_string(s.WaitForSec) + " is out of range" +
                       taken + ": set 1 to " + std::to_string(kMaxWaitForSec) + " seconds");
  }
  return problems;
}

int RunCheck(const char* directory) {
  if (directory != nullptr) {
    if (const platform::Status status = platform::ChangeWorkingDirectory(directory); !status) {
      platform::PrintError(platform::Priority::kWarning, "qza_wdir --check: cannot enter %s: %s\n",
                           directory, status.reason());
      return 1;
    }
  }
  Settings s;
  LoadConfiguration(&s, ConfigurationUse::kReadOnly);
  platform::Print("Settings of the installation in %s, checked as user %s:\n",
                  directory != nullptr ? directory : ".", platform::ProcessUserName().c_str());
  const std::pair<const char*, std::string> rows[] = {
      {"Server/Number", std::to_string(s.Number)},
      {"Server/NeedOneConsOf", s.NeedOneConsOf},
      {"Server/NeedAllConsOf", s.NeedAllConsOf},
      {"Server/WaitForSec", std::to_string(s.WaitForSec)},
      {"Server/SleepAfterError", std::to_string(s.SleepAfterError)},
      {"Server/PollSec", std::to_string(s.PollSec)},
      {"Pathnames/WatchPath", s.WatchPath},
      {"Pathnames/AckPath", s.AckPath},
      {"Pathnames/WatchFiles", s.WatchFiles},
      {"Pathnames/WatchDogFiles", s.WatchDogFiles},
      {"Pathnames/WatchJobFiles", s.WatchJobFiles},
      {"Pathnames/JobPath", s.JobPath},
      {"Pathnames/WatchTtsFiles", s.WatchTtsFiles},
      {"Pathnames/TtsPath", s.TtsPath},
      {"Pathnames/TtsLogPath", s.TtsLogPath},
      {"Pathnames/SvoxPath", s.SvoxPath},
      {"Alarm/UseVoxFile", std::to_string(s.UseVoxFile)},
      {"SVoxSettings/Voice", s.Voice},
      {"SVoxSettings/Speed", std::to_string(s.Speed)},
      {"SVoxSettings/Pitch", std::to_string(s.Pitch)},
      {"SVoxSettings/MaxSeconds", std::to_string(s.MaxSeconds)},
      {"qzawrdb/DbPath", s.DbPath},
  };
  for (const auto& row : rows) platform::Print(" %s=%s\n", row.first, row.second.c_str());
  const std::vector<std::string> problems = FindProblems(s);
  for (const std::string& line : problems) {
    platform::PrintError(platform::Priority::kWarning, "PROBLEM: %s\n", line.c_str());
  }
  if (problems.empty()) {
    platform::Print("No problems found\n");
    return 0;
  }
  platform::Print("%zu problem%s found (on standard error)\n", problems.size(),
                  problems.size() == 1 ? "" : "s");
  return 1;
}

}  // namespace qza
