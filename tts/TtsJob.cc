#include "tts/TtsJob.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/Settings.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"
#include "support/CDosFile.h"
#include "support/CProcess.h"
#include "support/CUserProfile.h"
#include "support/MonthlyLog.h"
#include "tts/WavThreads.h"

namespace {

constexpr unsigned long kReadExclusive = 16;   // OF_READ | OF_SHARE_EXCLUSIVE
constexpr unsigned long kWriteExclusive = 17;  // OF_WRITE | OF_SHARE_EXCLUSIVE
constexpr int kFileSize = 80;
constexpr int kTextSize = 2048;
constexpr int kDirSize = 256;
constexpr size_t kOutputPathMax = 79;
constexpr size_t kTargetPathMax = 255;
constexpr size_t kCommandMax = 255;
constexpr size_t kJobStemMax = 79;

struct Entry {
  int number;
  char file[kFileSize];
  char text[kTextSize];
  char dir[kDirSize];
};

std::string CutAt(std::string text, const char* marker) {
  const size_t at = text.find(marker);
  if (at != std::string::npos) text.resize(at);
  return text;
}

std::string Join(const char* directory, const std::string& name) {
  return std::string(directory) + ".\\" + name;
}

char* HeapCopy(const std::string& text) {
  char* copy = new char[text.size() + 1];
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// Hands `path` to a detached thread that owns its copy.
void StartWavThread(void (*routine)(void*), const std::string& path) {
  char* copy = HeapCopy(path);
  if (!platform::StartDetachedThread(routine, copy)) delete[] copy;
}

bool WithinLimit(const Entry& entry, const char* what, const std::string& text, size_t max) {
  if (text.size() <= max) return true;
  platform::Print("TTS entry File%d skipped: its %s is longer than %zu characters: %s\r\n",
                  entry.number, what, max, text.c_str());
  return false;
}

// Creates the synthesiser's text file: three attempts, removing any old file
// between them.
bool CreateTextFile(CDosFile& file, const std::string& path) {
  if (file.Create(kWriteExclusive)) return true;
  platform::Sleep(10);
  platform::RemoveFile(path.c_str());
  if (file.Create(kWriteExclusive)) return true;
  platform::RemoveFile(path.c_str());
  return file.Create(kWriteExclusive) != 0;
}

void Synthesize(const Entry& entry, std::string* last_command) {
  const Settings& s = g_settings;
  platform::Print("Create wavfile: %s.\\%s with text: %s\r\n", s.SvoxPath, entry.file, entry.text);
  const std::string stem = CutAt(entry.file, ".wav");
  const std::string text_path = Join(s.SvoxPath, stem + ".txt");
  const std::string output = Join(s.SvoxPath, stem + ".wav");
  const std::string target = Join(entry.dir, stem + ".wav");
  char command[1024];
  std::snprintf(command, sizeof command, "%s.\\svox.exe -v %s -p %d -s %d -e alaw %s %s",
                s.SvoxPath, s.Voice, s.Pitch, s.Speed, text_path.c_str(), output.c_str());
  if (!WithinLimit(entry, "synthesiser output path", output, kOutputPathMax) ||
      !WithinLimit(entry, "target path", target, kTargetPathMax) ||
      !WithinLimit(entry, "synthesiser command line", command, kCommandMax)) {
    return;
  }
  CDosFile file(text_path.c_str());
  if (!CreateTextFile(file, text_path)) {
    platform::Print("Failed to create textfile: %s", text_path.c_str());
    return;
  }
  file.Write(entry.text, std::strlen(entry.text));
  file.Close();
  *last_command = command;
  // The synthesiser runs in SvoxPath; the service's own working directory
  // stays, so relative paths of WAV threads always mean the same file.
  CProcess process(command);
  process.Run(1, 1, s.SvoxPath);
  while (process.IsRunning()) platform::Sleep(100);
  StartWavThread(&MoveWavThread, target);
}

void Delete(const Entry& entry) {
  const std::string path = Join(entry.dir, entry.file);
  if (!WithinLimit(entry, "deletion path", path, kTargetPathMax)) return;
  StartWavThread(&DeleteWavThread, path);
}

// The job's name after its last backslash, lower-cased, cut at ".tts".
std::string JobStem(const char* path) {
  const char* slash = std::strrchr(path, '\\');
  std::string stem = slash ? slash + 1 : path;
  for (char& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return CutAt(stem, ".tts");
}

// A job file that another program still holds open is not read half-written.
bool HeldByAnotherProgram(const char* path) {
  if (!platform::PathExists(path)) return false;
  CDosFile probe(path);
  return !probe.Open(kReadExclusive);
}

void ArchiveDeleteAndLog(const char* path, const std::string& last_command) {
  const Settings& s = g_settings;
  const struct tm time = platform::LocalTime(platform::Now());
  const std::string stem = JobStem(path);
  char archive[512];
  std::snprintf(archive, sizeof archive, "%s.\\%s_%02d%02d%02d_%02d%02d%02d.tts", s.TtsLogPath,
                stem.c_str(), time.tm_mday, time.tm_mon + 1, TwoDigitYear(time), time.tm_hour,
                time.tm_min, time.tm_sec);
  if (stem.size() > kJobStemMax) {
    platform::Print("TTS job name longer than %zu characters, no archive copy: %s\r\n",
                    kJobStemMax, path);
  } else {
    platform::CopyFileReplacing(path, archive);  // a failed copy is not reported
  }
  if (!platform::RemoveFile(path)) {
    platform::Print("Failed to delete jobfile !\r\n");
    for (int retry = 0; retry < 100; ++retry) {
      platform::Sleep(50);
      if (platform::RemoveFile(path)) break;
    }
  }
  platform::Sleep(50);
  char line[4096];
  std::snprintf(line, sizeof line, "%02d.%02d.%02d %02d:%02d:%02d, tts job '%s' done [shell=%s]\r\n",
                time.tm_mday, time.tm_mon + 1, TwoDigitYear(time), time.tm_hour, time.tm_min,
                time.tm_sec, stem.c_str(), last_command.c_str());
  AppendMonthlyLog("%s.\\qztts_%02d%02d.log", s.TtsLogPath, time, line);
}

}  // namespace

void ProcessTtsJob(const char* path) {
  platform::Print("proceeding tts job in '%s'\r\n\n", path);
  platform::Sleep(200);
  CUserProfile profile(path, 1);
  if (HeldByAnotherProgram(path) || !profile.OpenProfile()) {
    platform::Print("Can't open job-file !\r\n");
    return;
  }
  std::string last_command;
  Entry entry;
  for (entry.number = 1; entry.number <= 99; ++entry.number) {
    char section[16];
    std::snprintf(section, sizeof section, "File%d", entry.number);
    profile.ReadProfileString(section, "File", "", kFileSize, entry.file);
    profile.ReadProfileString(section, "Text", "", kTextSize, entry.text);
    profile.ReadProfileString(section, "Dir", "", kDirSize, entry.dir);
    if (std::strlen(entry.file) < 2) continue;
    if (entry.text[0] != '\0') {
      Synthesize(entry, &last_command);
    } else {
      Delete(entry);
    }
  }
  profile.CloseProfile();
  ArchiveDeleteAndLog(path, last_command);
}
