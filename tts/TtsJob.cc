#include "tts/TtsJob.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Directory.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Profile.h"
#include "platform/Startup.h"
#include "platform/Thread.h"
#include "support/CDosFile.h"
#include "support/CProcess.h"
#include "support/MonthlyLog.h"
#include "support/Printable.h"
#include "tts/WavThreads.h"

namespace qza {

namespace {

using platform::JoinPath;

constexpr int kFileSize = 80;
constexpr int kTextSize = 2048;
constexpr int kDirSize = 256;
constexpr size_t kOutputPathMax = 79;
constexpr size_t kTargetPathMax = 255;
constexpr size_t kCommandMax = 255;
constexpr size_t kJobStemMax = 79;
constexpr uint32_t kPollMs = 100;  // pause between two looks at the synthesiser

struct Entry {
  int number;
  char file[kFileSize];
  char text[kTextSize];
  char dir[kDirSize];
};

// The paths and command line of one synthesis.
struct Synthesis {
  std::string name;  // of the output and text file in SvoxPath
  std::string text_path;
  std::string output;
  std::string target;
  std::string command;
  std::string entry;  // the target's name in its directory
  std::string svox;  // SvoxPath: where the synthesiser runs
  int max_seconds;   // its time limit, at least one second
  void (*sleep)(uint32_t milliseconds);
};

// One job on its way through its entries.
struct JobRun {
  const Settings& settings;
  const HandlerClock& clock;
  WavWorker& wav;
  int64_t deadline;          // monotonic seconds past which no entry starts
  bool told_full = false;    // the full WAV queue was reported for this job
  std::string last_command;  // of the last synthesis that got as far as its launch
  ServiceMetrics* metrics;   // null: nothing is counted
  std::vector<platform::FileIdentity> allowed = {};  // the allowed directories
  TtsJobs::DayBytes* day_bytes = nullptr;
  long long job_bytes = 0;   // bytes of speech this job has queued for publishing
};

// The entry's directory, opened and judged, with the allowed directory it
// lies below (an index into run.allowed).
struct Target {
  std::shared_ptr<const platform::Directory> dir;
  size_t allowed = 0;
};

void CountEntry(const JobRun& run, std::atomic<uint64_t> ServiceMetrics::*counter) {
  if (run.metrics != nullptr) Count(&(run.metrics->*counter));
}

std::string CutAt(std::string text, const char* marker) {
  const size_t at = text.find(marker);
  if (at != std::string::npos) text.resize(at);
  return text;
}

bool WithinLimit(const Entry& entry, const char* what, const std::string& text, size_t max) {
  if (text.size() <= max) return true;
  platform::PrintWarning("TTS entry File%d skipped: its %s is longer than %zu characters: %s\r\n",
                         entry.number, what, max, Printable(text.c_str()).c_str());
  return false;
}

// A name for the synthesiser's files that no queued publishing uses: the
// entry's stem, or the stem with "~2", "~3", ... when an earlier entry with the
// same stem still waits to be published, so that neither overwrites the other.
std::string FreeSvoxName(const WavWorker& wav, const std::string& stem) {
  std::string name = stem;
  for (int n = 2; wav.SvoxNameInUse(name); ++n) name = stem + "~" + std::to_string(n);
  return name;
}

// The seconds left of the job's budget, at least one.
int SecondsLeft(const JobRun& run) {
  const int64_t left = run.deadline - run.clock.monotonic_seconds();
  return left < 1 ? 1 : left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

Synthesis PlanSynthesis(const JobRun& run, const Entry& entry) {
  const Settings& s = run.settings;
  const std::string stem = CutAt(entry.file, ".wav");
  Synthesis plan;
  plan.entry = stem + ".wav";
  plan.name = FreeSvoxName(run.wav, stem);
  plan.text_path = JoinPath(s.SvoxPath, plan.name + ".txt");
  plan.output = JoinPath(s.SvoxPath, plan.name + ".wav");
  plan.target = JoinPath(entry.dir, stem + ".wav");
  char command[1024];
  std::snprintf(command, sizeof command, "%s -v %s -p %d -s %d -e alaw %s %s",
                JoinPath(s.SvoxPath, "svox.exe").c_str(), s.Voice, s.Pitch, s.Speed,
                plan.text_path.c_str(), plan.output.c_str());
  plan.command = command;
  plan.svox = s.SvoxPath;
  plan.max_seconds = std::min(s.MaxSeconds > 0 ? s.MaxSeconds : 1, SecondsLeft(run));
  plan.sleep = run.clock.sleep;
  return plan;
}

// True when the WAV worker can take the entry's task. A full queue is said
// once per job, with the first entry it skips.
bool QueueHasRoom(JobRun& run, const Entry& entry) {
  if (run.wav.HasRoom()) return true;
  if (!run.told_full) {
    platform::PrintWarning(
        "TTS entry File%d skipped: %zu WAV files wait to be published or deleted; "
        "further entries of this job that find no room are skipped without a "
        "line\r\n",
        entry.number, kWavQueueCapacity);
  }
  run.told_full = true;
  return false;
}

// Opens the entry's directory and judges what was opened: it must be, or lie
// below, one of the allowed directories, whatever links or ".." led there.
// False, with the line printed, when the entry is refused.
bool OpenTarget(const JobRun& run, const Entry& entry, Target* target) {
  auto dir = std::make_shared<platform::Directory>();
  const std::string shown = Printable(entry.dir);
  if (const platform::Status opened = dir->Open(entry.dir); !opened.ok()) {
    platform::PrintWarning("TTS entry File%d refused: its directory '%s' cannot be opened: %s\r\n",
                           entry.number, shown.c_str(), opened.reason());
    return false;
  }
  const platform::Result<int> within = dir->WithinAny(run.allowed);
  if (!within.ok()) {
    platform::PrintWarning("TTS entry File%d refused: its directory '%s' cannot be judged: %s\r\n",
                           entry.number, shown.c_str(), within.status().reason());
    return false;
  }
  if (within.value() == 0) {
    platform::PrintWarning(
        "TTS entry File%d refused: its directory '%s' lies outside every directory "
        "of SVoxSettings/WavDirs\r\n",
        entry.number, shown.c_str());
    return false;
  }
  target->dir = std::move(dir);
  target->allowed = static_cast<size_t>(within.value() - 1);
  return true;
}

// Charges `bytes` of speech to the job and to the allowed directory's day;
// false, with the line printed and nothing charged, when either cap would be
// passed.
bool ChargeBytes(JobRun& run, const Entry& entry, const Target& target, long long bytes) {
  const Settings& s = run.settings;
  if (run.job_bytes + bytes > s.MaxJobWavBytes) {
    platform::PrintWarning(
        "TTS entry File%d refused: its %lld bytes of speech would pass the %ld bytes "
        "one job may publish (SVoxSettings/MaxJobWavBytes)\r\n",
        entry.number, bytes, s.MaxJobWavBytes);
    return false;
  }
  const struct tm time = platform::LocalTime(run.clock.now());
  const int day = (time.tm_year + 1900) * 1000 + time.tm_yday;
  TtsJobs::DayBytes& days = *run.day_bytes;
  if (days.day != day) {
    days.day = day;
    days.bytes.clear();
  }
  const platform::FileIdentity& root = run.allowed[target.allowed];
  long long& today = days.bytes[{root.dev, root.ino}];
  if (today + bytes > s.MaxDayWavBytes) {
    platform::PrintWarning(
        "TTS entry File%d refused: its %lld bytes of speech would pass the %ld bytes "
        "its allowed directory may take today (SVoxSettings/MaxDayWavBytes)\r\n",
        entry.number, bytes, s.MaxDayWavBytes);
    return false;
  }
  today += bytes;
  run.job_bytes += bytes;
  return true;
}

bool Queue(JobRun& run, const Entry& entry, WavTask task) {
  if (run.wav.Queue(std::move(task))) return true;
  platform::PrintWarning("TTS entry File%d skipped: the WAV worker cannot take it\r\n",
                         entry.number);
  return false;
}

// Writes the synthesiser's text file: a new file renamed over the name, so a
// link planted at the name is replaced, never written through. Three attempts.
bool WriteTextFile(const JobRun& run, const Entry& entry, const std::string& path) {
  const size_t size = std::strlen(entry.text);
  platform::Status status;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    status = platform::WriteFileAtomically(path.c_str(), entry.text, size);
    if (status.ok()) return true;
    if (attempt < 3) run.clock.sleep(10);
  }
  platform::Print("Failed to create textfile: %s", Printable(path.c_str()).c_str());
  platform::PrintError("qza_wdir: text file %s cannot be created: %s\n",
                       Printable(path.c_str()).c_str(), status.reason());
  return false;
}

// Removes an output left by an earlier synthesis of the same name, so that
// only what this synthesis writes can be published.
bool RemoveOldOutput(const Entry& entry, const std::string& output) {
  const platform::Status removed = platform::RemoveFile(output.c_str());
  if (removed.ok() || removed.error() == ENOENT) return true;
  platform::PrintWarning(
      "TTS entry File%d skipped: old synthesiser output %s cannot be removed: %s\r\n", entry.number,
      Printable(output.c_str()).c_str(), removed.reason());
  return false;
}

// Waits for the synthesiser to end, at most MaxSeconds (at least one second).
// Past the limit its process group is ended. True when it ended by itself.
bool AwaitSynthesiser(CProcess& process, const Synthesis& plan) {
  const int limit = plan.max_seconds;
  const uint64_t limit_ms = static_cast<uint64_t>(limit) * 1000;
  for (uint64_t waited = 0; process.IsRunning(); waited += kPollMs) {
    if (waited >= limit_ms) {
      process.Kill();
      platform::Print("svox.exe did not end within %d seconds and was stopped: %s\r\n", limit,
                      Printable(plan.command.c_str()).c_str());
      return false;
    }
    plan.sleep(kPollMs);
  }
  return true;
}

// Runs the synthesiser on the text file. True when it ended by itself and
// left its output; everything else is printed and the synthesiser's files are
// cleaned away.
bool RunSynthesiser(const Synthesis& plan) {
  CProcess process(plan.command.c_str());
  // The synthesiser runs in SvoxPath; the service's own working directory
  // stays, so relative paths of the WAV worker always mean the same file.
  if (!process.Run(1, 1, plan.svox.c_str())) {
    const int error = process.LastError();
    platform::Print("Failed to start synthesiser: %s (%s)\r\n",
                    Printable(plan.command.c_str()).c_str(), platform::ErrorText(error));
    // Nothing else will read it; a file that cannot be removed is only left over.
    (void)platform::RemoveFile(plan.text_path.c_str());
    return false;
  }
  if (!AwaitSynthesiser(process, plan)) {
    // A partial output is never published; what cannot be removed is only left over.
    (void)platform::RemoveFile(plan.text_path.c_str());
    (void)platform::RemoveFile(plan.output.c_str());
    return false;
  }
  if (process.ExitCode() != 0) {
    platform::Print("svox.exe ended with exit code %lu: %s\r\n", process.ExitCode(),
                    Printable(plan.command.c_str()).c_str());
  }
  if (!platform::PathExists(plan.output.c_str())) {
    platform::Print("Failed to create wavfile: %s (No tmpfile created)\n",
                    Printable(plan.target.c_str()).c_str());
    return false;
  }
  return true;
}

void Synthesize(JobRun& run, const Entry& entry) {
  platform::Print("Create wavfile: %s with text: %s\r\n",
                  Printable(JoinPath(run.settings.SvoxPath, entry.file).c_str()).c_str(),
                  Printable(entry.text).c_str());
  const Synthesis plan = PlanSynthesis(run, entry);
  Target target;
  if (!OpenTarget(run, entry, &target) ||
      !WithinLimit(entry, "synthesiser output path", plan.output, kOutputPathMax) ||
      !WithinLimit(entry, "target path", plan.target, kTargetPathMax) ||
      !WithinLimit(entry, "synthesiser command line", plan.command, kCommandMax) ||
      !QueueHasRoom(run, entry) || !RemoveOldOutput(entry, plan.output) ||
      !WriteTextFile(run, entry, plan.text_path)) {
    CountEntry(run, &ServiceMetrics::speech_entries_refused);
    return;
  }
  // The log line names the last command that went as far as its launch,
  // whether or not it produced speech.
  run.last_command = plan.command;
  if (!RunSynthesiser(plan)) {
    CountEntry(run, &ServiceMetrics::speech_entries_failed);
    return;
  }
  platform::FileStatus output;
  const long long bytes = platform::StatPath(plan.output.c_str(), &output).ok() ? output.size : 0;
  if (!ChargeBytes(run, entry, target, bytes)) {
    // Never published: nothing else reads them, and what cannot be removed is
    // only left over.
    (void)platform::RemoveFile(plan.text_path.c_str());
    (void)platform::RemoveFile(plan.output.c_str());
    CountEntry(run, &ServiceMetrics::speech_entries_refused);
    return;
  }
  CountEntry(run, &ServiceMetrics::speech_entries_spoken);
  Queue(run, entry,
        {WavTask::Kind::kPublish, plan.target, plan.name, plan.svox, target.dir, plan.entry});
}

void Delete(JobRun& run, const Entry& entry) {
  if (!NamesAWavFile(entry.file)) {
    platform::PrintWarning("TTS entry File%d skipped: only .wav files are deleted: %s\r\n",
                           entry.number, Printable(entry.file).c_str());
    CountEntry(run, &ServiceMetrics::speech_entries_refused);
    return;
  }
  const std::string path = JoinPath(entry.dir, entry.file);
  Target target;
  if (!WithinLimit(entry, "deletion path", path, kTargetPathMax) ||
      !OpenTarget(run, entry, &target) || !QueueHasRoom(run, entry)) {
    CountEntry(run, &ServiceMetrics::speech_entries_refused);
    return;
  }
  Queue(run, entry, {WavTask::Kind::kDelete, path, "", "", target.dir, entry.file});
}

// The job's name after its last backslash, lower-cased, cut at ".tts".
std::string JobStem(const char* path) {
  const char* slash = std::strrchr(path, '\\');
  std::string stem = slash ? slash + 1 : path;
  for (char& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return CutAt(stem, ".tts");
}

// What was read of the job, and which file it was.
struct Job {
  bool read = false;  // false: the job had vanished
  std::string text;
  platform::FileStatus identity;
};

// Handles the entries in order. False when a stop ended the job early.
bool HandleEntries(JobRun& run, const char* path, const Job& job) {
  const platform::ProfileText profile(job.text.data(), job.text.size());
  Entry entry;
  for (entry.number = 1; entry.number <= 99; ++entry.number) {
    // A stop ends the job after the entry in hand; the job stays for the next
    // start, which speaks it again from its first entry.
    if (platform::StopRequested()) {
      platform::Print("TTS job stopped before entry File%d: the service is stopping; the job "
                      "stays\r\n",
                      entry.number);
      return false;
    }
    char section[16];
    std::snprintf(section, sizeof section, "File%d", entry.number);
    profile.GetString(section, "File", "", entry.file, kFileSize);
    profile.GetString(section, "Text", "", entry.text, kTextSize);
    profile.GetString(section, "Dir", "", entry.dir, kDirSize);
    if (std::strlen(entry.file) < 2) continue;
    // The job's budget ends its remaining entries; what was done is archived
    // and logged as it stands.
    if (run.clock.monotonic_seconds() >= run.deadline) {
      platform::Print("TTS job %s ended before entry File%d: its %d seconds "
                      "(SVoxSettings/MaxJobSeconds) are spent; the remaining entries are "
                      "skipped\r\n",
                      Printable(path).c_str(), entry.number, run.settings.MaxJobSeconds);
      return true;
    }
    if (const char* fault = FileNameFault(entry.file)) {
      platform::PrintWarning("TTS entry File%d skipped: its file name %s: %s\r\n", entry.number,
                             fault, Printable(entry.file).c_str());
      CountEntry(run, &ServiceMetrics::speech_entries_refused);
      continue;
    }
    if (entry.text[0] != '\0') {
      Synthesize(run, entry);
    } else {
      Delete(run, entry);
    }
  }
  return true;
}

// Stores `text` under the archive name `name` in `log_path` without ever
// replacing an archive: when the name is taken (two jobs whose names differ
// only in case, in the same second), "~2", "~3", ... go before ".tts". The
// copy is written whole under a random name first, then renamed. Fills
// `archive` with the name used or last tried; returns the failure of the
// step that failed.
platform::Status StoreArchive(const char* log_path, const std::string& name,
                              const std::string& text, std::string* archive) {
  *archive = JoinPath(log_path, name);
  std::string temp;
  const platform::Result<int> created =
      platform::CreateUniqueFile(log_path, ("." + name + ".").c_str(), &temp);
  if (!created.ok()) return created.status();
  platform::Status status = platform::FileWrite(created.value(), text.data(), text.size()).status();
  const platform::Status closed = platform::FileClose(created.value());
  if (status.ok()) status = closed;
  if (status.ok()) {
    const std::string base = CutAt(name, ".tts");
    for (int n = 1; n <= 100; ++n) {
      *archive = JoinPath(log_path, n == 1 ? name : base + "~" + std::to_string(n) + ".tts");
      status = platform::RenameFile(temp.c_str(), archive->c_str());
      if (status.ok()) return status;
      if (status.error() != EEXIST) break;
    }
  }
  // A copy that found no name leaves nothing behind; the failure that counts
  // is the one that kept it from its name.
  (void)platform::RemoveFile(temp.c_str());
  return status;
}

// Stores the bytes that were read as the job's archive copy.
void Archive(const char* log_path, const char* path, const Job& job, const std::string& stem,
             const struct tm& time) {
  if (stem.size() > kJobStemMax) {
    platform::Print("TTS job name longer than %zu characters, no archive copy: %s\r\n",
                    kJobStemMax, Printable(path).c_str());
    return;
  }
  char name[kJobStemMax + 32];
  std::snprintf(name, sizeof name, "%s_%02d%02d%02d_%02d%02d%02d.tts", stem.c_str(),
                time.tm_mday, time.tm_mon + 1, TwoDigitYear(time), time.tm_hour, time.tm_min,
                time.tm_sec);
  std::string archive = JoinPath(log_path, name);
  const platform::Status stored = job.read ? StoreArchive(log_path, name, job.text, &archive)
                                           : platform::Status::Failure("read", ENOENT);
  if (!stored.ok()) {
    platform::Print("TTS job %s not archived as %s: %s\r\n", Printable(path).c_str(),
                    Printable(archive.c_str()).c_str(), stored.reason());
    platform::PrintError("qza_wdir: TTS job %s not archived\n", Printable(path).c_str());
  }
}

// True while the name still holds the file that was read, or holds nothing
// (the deletion then says so). A file that was never read is never "the same".
bool SameFile(const char* path, const Job& job) {
  platform::FileStatus now;
  if (!platform::StatPath(path, &now).ok()) return true;
  return job.read && now.dev == job.identity.dev && now.ino == job.identity.ino;
}

// Deletes the job file, retrying while the deletion fails. Before each
// attempt the name is checked to still hold the file that was read: a new job
// dropped under the same name meanwhile stays for the next pass.
void DeleteJob(const JobRun& run, const char* path, const Job& job) {
  bool replaced = false;
  platform::Status removed;
  auto attempt = [&] {
    replaced = !SameFile(path, job);
    if (replaced) return true;
    removed = platform::RemoveFile(path);
    return removed.ok();
  };
  bool deleted = attempt();
  if (!deleted) {
    platform::Print("Failed to delete jobfile !\r\n");
    for (int retry = 0; retry < 100 && !deleted; ++retry) {
      run.clock.sleep(50);
      deleted = attempt();
    }
    if (!deleted) {
      platform::Print("TTS job %s could not be deleted: %s\r\n", Printable(path).c_str(),
                      removed.reason());
    }
  }
  if (replaced) {
    platform::Print("TTS job %s was replaced while it was handled: the new file stays\r\n",
                    Printable(path).c_str());
  }
}

void ArchiveDeleteAndLog(const JobRun& run, const char* path, const Job& job) {
  const Settings& s = run.settings;
  const std::string& last_command = run.last_command;
  const struct tm time = platform::LocalTime(run.clock.now());
  const std::string stem = Printable(JobStem(path).c_str());
  Archive(s.TtsLogPath, path, job, stem, time);
  DeleteJob(run, path, job);
  run.clock.sleep(50);
  char line[4096];
  std::snprintf(line, sizeof line, "%02d.%02d.%02d %02d:%02d:%02d, tts job '%s' done [shell=%s]\r\n",
                time.tm_mday, time.tm_mon + 1, TwoDigitYear(time), time.tm_hour, time.tm_min,
                time.tm_sec, stem.c_str(), Printable(last_command.c_str()).c_str());
  AppendMonthlyLog("%s.\\qztts_%02d%02d.log", s.TtsLogPath, time, line);
}

// Reads the job; false (with the line printed unless `quiet`) when it is left
// in the spool, with the reason in `*error`.
bool LoadJob(const char* path, Job* job, bool quiet, int* refusal) {
  const int error = ReadTtsJob(path, &job->text);
  *refusal = error;
  if (error == 0) {
    job->read = platform::StatPath(path, &job->identity).ok();
    if (!job->read) job->text.clear();  // gone the moment it was read: handled as vanished
    return true;
  }
  if (error == ENOENT) return true;  // vanished: no entries, then archive, deletion and log
  if (quiet) return false;
  if (error == EBUSY) {
    platform::Print("Can't open job-file !\r\n");
  } else if (error == EFBIG) {
    platform::PrintWarning("TTS job %s refused and left in place: larger than %zu bytes\r\n",
                           Printable(path).c_str(), kMaxTtsJobBytes);
  } else {
    platform::PrintWarning("TTS job %s refused and left in place: %s\r\n", Printable(path).c_str(),
                           platform::ErrorText(error));
  }
  return false;
}

}  // namespace

int ReadTtsJob(const char* path, std::string* text) {
  text->clear();
  CDosFile file(path);
  if (!file.Open(CDosFile::kReadExclusive)) return file.LastError();
  char chunk[65536];
  for (;;) {
    const size_t want = std::min(sizeof chunk, kMaxTtsJobBytes + 1 - text->size());
    unsigned long count = 0;
    if (!file.Read(chunk, want, &count)) {
      const int error = file.LastError();
      text->clear();
      return error;
    }
    if (count == 0) return 0;
    text->append(chunk, count);
    if (text->size() > kMaxTtsJobBytes) {
      text->clear();
      return EFBIG;
    }
  }
}

const char* FileNameFault(const char* name) {
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return "is . or ..";
  for (const char* p = name; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\\' || c == '/' || c == ':') return "holds a path separator or a colon";
    if (c == ' ' || c == '"' || c == '\'' || c < 0x20 || c == 0x7f) {
      return "holds a blank, a quote or a control character";
    }
  }
  return nullptr;
}

bool NamesAWavFile(const char* name) {
  const size_t length = std::strlen(name);
  return length >= 4 && strncasecmp(name + length - 4, ".wav", 4) == 0;
}

TtsJobs::TtsJobs(const Settings& settings, const HandlerClock& clock,
                 uint32_t wav_retry_interval_ms, ServiceMetrics* metrics)
    : settings_(settings), clock_(clock), wav_(wav_retry_interval_ms), metrics_(metrics) {}

bool TtsJobs::SeenBefore(const char* path, bool* quiet) {
  *quiet = false;
  const auto it = refused_.find(path);
  if (it == refused_.end()) return false;
  platform::FileIdentity now;
  if (!platform::IdentityOfPath(path, &now) || !(now == it->second.identity)) {
    refused_.erase(it);  // changed or gone: a new job
    return false;
  }
  // Too big stays too big while size and time stay; any other refusal (held
  // open, a second name) may end without a change of either, so the job is
  // tried again at once, without the wait and without a line.
  *quiet = true;
  return it->second.error == EFBIG;
}

void TtsJobs::Remember(const char* path, int error) {
  constexpr size_t kRemembered = 4096;  // bounds memory against a flood of names
  platform::FileIdentity identity;
  if (!platform::IdentityOfPath(path, &identity)) return;
  if (refused_.size() >= kRemembered && refused_.count(path) == 0) refused_.clear();
  refused_[path] = {identity, error};
}

std::vector<platform::FileIdentity> TtsJobs::AllowedDirectories() {
  std::vector<std::string> texts;
  if (settings_.WavDirs[0] == '\0') {
    texts = {"", settings_.TtsPath};
  } else {
    // `|` separates: no Windows name holds it.
    const std::string list = settings_.WavDirs;
    size_t start = 0;
    for (;;) {
      const size_t bar = list.find('|', start);
      std::string text = list.substr(start, bar == std::string::npos ? bar : bar - start);
      const size_t first = text.find_first_not_of(" \t");
      text = first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t") + 1 - first);
      if (!text.empty()) texts.push_back(text);
      if (bar == std::string::npos) break;
      start = bar + 1;
    }
  }
  std::vector<platform::FileIdentity> allowed;
  for (const std::string& text : texts) {
    platform::Directory dir;
    platform::FileIdentity identity;
    platform::Status opened = dir.Open(text.c_str());
    if (opened.ok()) opened = dir.Identity(&identity);
    if (opened.ok()) {
      allowed.push_back(identity);
      unusable_dirs_.erase(text);
    } else if (unusable_dirs_.insert(text).second) {
      platform::Print(
          "SVoxSettings/WavDirs: directory '%s' cannot be opened, no speech is "
          "published below it: %s\r\n",
          Printable(text.c_str()).c_str(), opened.reason());
    }
  }
  return allowed;
}

void TtsJobs::ProcessTtsJob(const char* path) {
  bool quiet = false;
  if (SeenBefore(path, &quiet)) return;
  if (!quiet) {
    platform::Print("proceeding tts job in '%s'\r\n\n", Printable(path).c_str());
    clock_.sleep(200);  // the writer's moment to finish a job it just made
  }
  Job job;
  int error = 0;
  if (!LoadJob(path, &job, quiet, &error)) {
    Remember(path, error);
    return;
  }
  if (quiet) platform::Print("proceeding tts job in '%s'\r\n\n", Printable(path).c_str());
  refused_.erase(path);
  const int budget = settings_.MaxJobSeconds > 0 ? settings_.MaxJobSeconds : 300;
  JobRun run{settings_, clock_, wav_, clock_.monotonic_seconds() + budget, false, {}, metrics_};
  run.allowed = AllowedDirectories();
  run.day_bytes = &day_bytes_;
  if (!HandleEntries(run, path, job)) return;
  ArchiveDeleteAndLog(run, path, job);
}

SpeechLane::SpeechLane(const Settings& settings, const HandlerClock& clock,
                       uint32_t wav_retry_interval_ms, ServiceMetrics* metrics)
    : jobs_(settings, clock, wav_retry_interval_ms, metrics) {}

SpeechLane::~SpeechLane() { Finish(); }

void SpeechLane::Handle(const char* path, const char*) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (finishing_ || queued_.count(path) != 0) return;
  if (waiting_.size() >= kCapacity) {
    if (!told_full_) {
      platform::Print("%zu TTS jobs wait for the speech lane: further jobs wait in the spool "
                      "for a later pass\r\n",
                      kCapacity);
    }
    told_full_ = true;
    return;
  }
  if (!started_) {
    // Without a thread of its own the lane cannot run: the jobs stay in the
    // spool and are offered again, and the start is tried again then.
    if (!platform::StartDetachedThread(&SpeechLane::Thread, this)) {
      platform::Print("ERROR: the speech lane cannot be started; TTS job %s waits\r\n",
                      Printable(path).c_str());
      return;
    }
    started_ = true;
    running_ = true;
  }
  told_full_ = false;
  queued_.insert(path);
  waiting_.emplace_back(path);
  changed_.notify_all();
}

void SpeechLane::Thread(void* lane) { static_cast<SpeechLane*>(lane)->RunJobs(); }

void SpeechLane::RunJobs() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return finishing_ || !waiting_.empty(); });
    if (finishing_ || platform::StopRequested()) break;
    const std::string path = std::move(waiting_.front());
    waiting_.pop_front();
    busy_ = true;
    lock.unlock();
    try {
      jobs_.ProcessTtsJob(path.c_str());
    } catch (const std::exception& error) {
      platform::Print("ERROR: '%s' could not be handled: %s\r\n", Printable(path.c_str()).c_str(),
                      error.what());
    } catch (...) {
      platform::Print("ERROR: '%s' could not be handled\r\n", Printable(path.c_str()).c_str());
    }
    lock.lock();
    busy_ = false;
    queued_.erase(path);
    changed_.notify_all();
  }
  running_ = false;
  changed_.notify_all();
}

void SpeechLane::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  finishing_ = true;
  changed_.notify_all();
  changed_.wait(lock, [&] { return !running_; });
}

bool SpeechLane::Idle() {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_.empty() && !busy_;
}

}  // namespace qza
