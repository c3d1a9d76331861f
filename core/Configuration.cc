#include "core/Configuration.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Profile.h"
#include "support/CUserProfile.h"

namespace qza {

namespace {

// The two profiles live as long as the process.
CUserProfile wdir_profile("qza_wdir.ini", 1);
CUserProfile alarm_profile("qzalarm.ini", 1);

constexpr long kAbsent = -99;  // an integer read as -99 counts as missing

struct TextRow {
  const char* section;
  const char* key;
  char* buffer;
  int size;
  const char* default_text;  // null: stays empty, nothing written back
  const char* printed;       // null: not printed
};

struct IntRow {
  const char* section;
  const char* key;
  int* value;
  int default_value;
};

void ReadTextRow(const TextRow& row, ConfigurationUse use) {
  const bool service = use == ConfigurationUse::kService;
  wdir_profile.ReadProfileString(row.section, row.key, "", row.size, row.buffer);
  if (row.buffer[0] == '\0' && row.default_text != nullptr) {
    std::snprintf(row.buffer, row.size, "%s", row.default_text);
    if (service) wdir_profile.WriteProfileStringA(row.section, row.key, row.default_text);
  }
  if (service && row.printed != nullptr) platform::Print(row.printed, row.buffer);
}

void ReadIntRow(const IntRow& row, ConfigurationUse use) {
  long value = 0;
  wdir_profile.ReadProfileInt(row.section, row.key, kAbsent, &value);
  if (value == kAbsent) {
    value = row.default_value;
    char text[20];
    std::snprintf(text, sizeof text, "%i", row.default_value);
    if (use == ConfigurationUse::kService) {
      wdir_profile.WriteProfileStringA(row.section, row.key, text);
    }
  }
  *row.value = static_cast<int>(value);
}

// Says on the console what makes the ini file unlike one, if anything; the
// service runs on with what can be read and the defaults for the rest.
void ReportProfileFault(const char* file) {
  const platform::Result<platform::ProfileFault> checked = platform::CheckProfileFile(file);
  if (!checked.ok()) {
    platform::Print("%s cannot be read: the defaults hold\n", file);
    platform::PrintError("qza_wdir: %s: %s\n", file, std::strerror(checked.status().error()));
    return;
  }
  switch (checked.value()) {
    case platform::ProfileFault::kNone:
      return;
    case platform::ProfileFault::kTooLarge:
      platform::Print("%s is larger than %zu bytes, which no ini file is: it is not read, the "
                      "defaults hold and none is written into it\n",
                      file, platform::kMaxProfileBytes);
      return;
    case platform::ProfileFault::kNulByte:
      platform::Print("%s holds a NUL byte, which no ini file holds: settings not found in it "
                      "take their defaults\n",
                      file);
      return;
    case platform::ProfileFault::kLongLine:
      platform::Print("%s has a line longer than %zu bytes, which no ini file has: settings not "
                      "found in it take their defaults\n",
                      file, platform::kMaxProfileLine);
      return;
    case platform::ProfileFault::kNoSection:
      platform::Print("%s has no [section] line: none of its lines is a setting, every setting "
                      "takes its default\n",
                      file);
      return;
  }
}

// A time-out below one second would make the loop spin, printing "Timeout"
// without pause; a negative one would be taken as about 49 days, stopping the
// retries of busy files and the supervision of silent consoles. The value in
// the file stays as it is.
int UsableWaitForSec(int seconds) {
  constexpr int kDefault = 180;
  if (seconds < 0) {
    platform::Print("Server/WaitForSec=%d is negative: the default %d is used\n", seconds,
                    kDefault);
    return kDefault;
  }
  if (seconds < 1) {
    platform::Print("Server/WaitForSec=%d is below 1: 1 is used\n", seconds);
    return 1;
  }
  return seconds;
}

// A byte cap of the speech settings, not written back: missing keeps the
// default in `*value`; zero, a negative or an unreadable value is said and
// keeps it too.
void ReadByteCap(const char* key, long* value, bool service) {
  long read = kAbsent;
  wdir_profile.ReadProfileInt("SVoxSettings", key, kAbsent, &read);
  if (read == kAbsent) return;
  if (read < 1) {
    if (service) {
      platform::Print("SVoxSettings/%s=%ld is below 1: the default %ld is used\n", key, read,
                      *value);
    }
    return;
  }
  *value = read;
}

}  // namespace

void LoadConfiguration(Settings* settings, ConfigurationUse use) {
  Settings& s = *settings;
  const bool service = use == ConfigurationUse::kService;
  if (!wdir_profile.OpenProfile()) return;
  if (service) {
    platform::Print("from qza_wdir.ini:\n");
    ReportProfileFault("qza_wdir.ini");
  }
  long number = 1;
  wdir_profile.ReadProfileInt("Server", "Number", 1, &number);
  s.Number = static_cast<int>(number);
  const TextRow text_rows[] = {
      {"Server", "NeedOneConsOf", s.NeedOneConsOf, kPathSize, nullptr,
       " Server/NeedOneConsOf=%s\n"},
      {"Server", "NeedAllConsOf", s.NeedAllConsOf, kPathSize, nullptr,
       " Server/NeedAllConsOf=%s\n"},
      {"Pathnames", "WatchPath", s.WatchPath, kPathSize, "\\qzt\\start\\",
       " Pathnames/WatchPath=%s\n"},
      {"Pathnames", "AckPath", s.AckPath, kPathSize, "\\qzt\\start\\log\\",
       " Pathnames/AckPath=%s\n"},
      {"Pathnames", "WatchFiles", s.WatchFiles, kPathSize, "\\qzt\\start\\qza%ik?.in",
       " Pathnames/WatchFiles=%s\n"},
      {"Pathnames", "WatchDogFiles", s.WatchDogFiles, kPathSize, "\\qzt\\start\\qza%ik?.dog",
       " Pathnames/WatchDogFiles=%s\n"},
      {"Pathnames", "WatchJobFiles", s.WatchJobFiles, kPathSize, "\\qzt\\start\\qz*.job",
       " Pathnames/WatchJobFiles=%s\n"},
      {"Pathnames", "JobPath", s.JobPath, kPathSize, "\\qzt\\start\\", " Pathnames/JobPath=%s\n"},
      {"Pathnames", "WatchTtsFiles", s.WatchTtsFiles, kPathSize, "\\qzt\\start\\qz*.tts",
       " Pathnames/WatchTtsFiles=%s\n"},
      {"Pathnames", "TtsPath", s.TtsPath, kPathSize, "\\qzt\\start\\", " Pathnames/TtsPath=%s\n"},
      {"Pathnames", "TtsLogPath", s.TtsLogPath, kPathSize, "\\qzt\\start\\log\\",
       " Pathnames/TtsLogPath=%s\n"},
      {"Pathnames", "SvoxPath", s.SvoxPath, kPathSize, "c:\\svox\\", nullptr},
  };
  for (const TextRow& row : text_rows) ReadTextRow(row, use);
  ReadIntRow({"Server", "WaitForSec", &s.WaitForSec, 180}, use);
  if (service) s.WaitForSec = UsableWaitForSec(s.WaitForSec);
  ReadIntRow({"Server", "SleepAfterError", &s.SleepAfterError, 1200}, use);
  ReadIntRow({"Server", "PollSec", &s.PollSec, -1}, use);
  ReadIntRow({"Alarm", "UseVoxFile", &s.UseVoxFile, 0}, use);
  ReadTextRow({"SVoxSettings", "Voice", s.Voice, kVoiceSize, "judith8", nullptr}, use);
  ReadIntRow({"SVoxSettings", "Speed", &s.Speed, 100}, use);
  ReadIntRow({"SVoxSettings", "Pitch", &s.Pitch, 100}, use);
  ReadIntRow({"SVoxSettings", "MaxSeconds", &s.MaxSeconds, 60}, use);
  // Not written back: an ini file without them keeps the keys it had.
  long sync_journal = 0;
  wdir_profile.ReadProfileInt("Server", "SyncJournal", 0, &sync_journal);
  s.SyncJournal = sync_journal == 1 ? 1 : 0;
  wdir_profile.ReadProfileString("Server", "MetricsFile", "", kPathSize, s.MetricsFile);
  long job_seconds = 300;
  wdir_profile.ReadProfileInt("SVoxSettings", "MaxJobSeconds", 300, &job_seconds);
  s.MaxJobSeconds = job_seconds >= 1 && job_seconds <= 86400 ? static_cast<int>(job_seconds) : 300;
  wdir_profile.ReadProfileString("SVoxSettings", "WavDirs", "", kWavDirsSize, s.WavDirs);
  ReadByteCap("MaxJobWavBytes", &s.MaxJobWavBytes, service);
  ReadByteCap("MaxDayWavBytes", &s.MaxDayWavBytes, service);
  wdir_profile.CloseProfile();

  if (alarm_profile.OpenProfile()) {
    if (service) ReportProfileFault("qzalarm.ini");
    alarm_profile.ReadProfileString("qzawrdb", "DbPath", "", kPathSize, s.DbPath);
    alarm_profile.CloseProfile();
  }
}

}  // namespace qza
