// Text-to-speech job files: synthesis and deletion entries, archive and log.
//
// A job comes from a spool directory that other programs write, so it is read
// as hostile input: opened without following a link and without blocking,
// read once with a size cap, and the names inside it must stay in their
// directory.
#ifndef QZA_TTS_TTS_JOB_H_
#define QZA_TTS_TTS_JOB_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/FileSystem.h"
#include "settings/ServiceMetrics.h"
#include "settings/Settings.h"
#include "settings/SpoolHandler.h"
#include "tts/WavThreads.h"

namespace qza {

// The largest job read. An honest job of 99 full entries is below 250 KiB.
constexpr size_t kMaxTtsJobBytes = 1024 * 1024;

// Reads the whole job file, opened exclusively, into `text`. Returns 0, or
// the errno value of the refusal: ENOENT (missing), EBUSY (open elsewhere),
// ELOOP (a symbolic link), EISDIR or ENODEV (not a regular file), EFBIG (more
// than kMaxTtsJobBytes; at most one byte more is read), or the error of a
// failed read. The file itself is never changed.
int ReadTtsJob(const char* path, std::string* text);

// Why `name` is no plain file name that stays in its directory, or null when
// it is one: it must hold no `\`, `/` or `:`, no blank, quote or control
// character, and must not be "." or "..".
const char* FileNameFault(const char* name);

// True when `name` ends in ".wav" in any case: the only files a deletion
// entry may delete.
bool NamesAWavFile(const char* name);

// Handles speech jobs, one at a time, in the calling thread. Owns the WAV
// worker that publishes what the jobs synthesise, and what it remembers of
// jobs it refused. Keeps a reference to `settings` and `clock`, which must
// outlive it.
class TtsJobs {
 public:
  // `metrics`, when given, counts the entries spoken, failed and refused.
  explicit TtsJobs(const Settings& settings, const HandlerClock& clock = HandlerClock::System(),
                   uint32_t wav_retry_interval_ms = kWavRetryIntervalMs,
                   ServiceMetrics* metrics = nullptr);
  TtsJobs(const TtsJobs&) = delete;
  TtsJobs& operator=(const TtsJobs&) = delete;

  // Handles the TTS job file at `path` (TtsPath joined with the found name).
  // The settings give the synthesiser (SvoxPath, Voice, Pitch, Speed,
  // MaxSeconds), the time budget of a whole job (MaxJobSeconds) and where the
  // archive copy and the log go (TtsLogPath). A job that was refused and left
  // in the spool is not waited for or reported again while it stays as it was
  // (device, inode, size and modification time).
  void ProcessTtsJob(const char* path);

  const WavWorker& wav_worker() const { return wav_; }

  struct Refusal {
    platform::FileIdentity identity;
    int error;
  };

  // Bytes of speech published today into each allowed directory (with
  // everything below it), by its device and inode.
  struct DayBytes {
    int day = -1;  // year * 1000 + day of the year, local time
    std::map<std::pair<uint64_t, uint64_t>, long long> bytes;
  };

  // The allowed directories of SVoxSettings/WavDirs (by default the working
  // directory and TtsPath) that can be opened now; one that cannot is said
  // once until it can again.
  std::vector<platform::FileIdentity> AllowedDirectories();

 private:
  bool SeenBefore(const char* path, bool* quiet);
  void Remember(const char* path, int error);

  const Settings& settings_;
  const HandlerClock& clock_;
  WavWorker wav_;
  std::map<std::string, Refusal> refused_;  // by path
  DayBytes day_bytes_;
  std::set<std::string> unusable_dirs_;  // allowed directories said to be unusable
  ServiceMetrics* metrics_;
};

// The speech lane: a handler that hands each speech job to a thread of its
// own, so that no synthesis, WAV publication or retry ever delays the watch
// loop (and with it an alarm). Jobs run one at a time in the order they were
// handed over; a job handed over again while it waits is not queued twice.
class SpeechLane : public SpoolHandler {
 public:
  // Jobs that may wait besides the one in hand; past them a job is left for
  // a later pass.
  static constexpr size_t kCapacity = 1024;

  explicit SpeechLane(const Settings& settings, const HandlerClock& clock = HandlerClock::System(),
                      uint32_t wav_retry_interval_ms = kWavRetryIntervalMs,
                      ServiceMetrics* metrics = nullptr);
  // Finishes the lane (see Finish).
  ~SpeechLane() override;
  SpeechLane(const SpeechLane&) = delete;
  SpeechLane& operator=(const SpeechLane&) = delete;

  // Queues the job for the lane's thread, starting the thread with the first.
  void Handle(const char* path, const char* name) override;
  // Ends the lane after the entry in hand (a stop request ends a job between
  // its entries); jobs that wait stay in the spool. Returns once the lane's
  // thread no longer runs a job.
  void Finish() override;
  // True when no job waits or runs (the WAV worker may still be busy).
  bool Idle();

 private:
  static void Thread(void* lane);
  void RunJobs();

  TtsJobs jobs_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> waiting_;
  std::set<std::string> queued_;  // the same paths, and the one in hand
  bool started_ = false;
  bool running_ = false;   // the thread exists and has not ended
  bool busy_ = false;      // the thread holds a job
  bool finishing_ = false;
  bool told_full_ = false;
};

}  // namespace qza

#endif  // QZA_TTS_TTS_JOB_H_
