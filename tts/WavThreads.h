// Publishing synthesised WAV files and deleting old ones, in the background.
//
// One worker thread per WavWorker, started with its first task, takes the
// tasks of every job, so that however many entries arrive the speech lane
// holds one extra thread. A task whose attempt fails (an output not there
// yet, a target that cannot be replaced, a copy or a deletion that fails) is
// tried again after a pause, up to its limit, while the tasks behind it go
// on: a target that stays stuck delays no other entry. The queue is bounded:
// the job asks for room before it starts a synthesis, and skips the entry
// when there is none, so the speech lane never waits for the worker. Each task
// reports on the console only.
#ifndef QZA_TTS_WAV_THREADS_H_
#define QZA_TTS_WAV_THREADS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Directory.h"

namespace qza {

// Tasks that may wait in the queue (retrying ones among them) besides the one
// in hand.
constexpr size_t kWavQueueCapacity = 200;

// Pauses before a failed attempt is made again, and their length.
constexpr int kWavRetryWaits = 200;  // 200 pauses of 500 ms: 100 seconds
constexpr uint32_t kWavRetryIntervalMs = 500;

struct WavTask {
  enum class Kind { kPublish, kDelete };
  Kind kind;
  // Publish: the target path. Delete: the path of the file to delete.
  std::string path;
  // Publish: the name (without extension) of the synthesiser's output and
  // text file in SvoxPath.
  std::string name;
  // Publish: SvoxPath, the directory of the synthesiser's files.
  std::string svox;
  // The directory that was opened and judged for the target, shared by the
  // task's attempts, and the target's plain name in it. Without them the
  // worker opens the directory part of `path` itself (its last `\` or `/`).
  std::shared_ptr<const platform::Directory> dir;
  std::string entry;
};

// Publishes the synthesiser output `name`.wav (SvoxPath joined as below) at
// `target`: waits until the output is there, waits until an existing target
// may be replaced, copies the output over the target in one atomic step (the
// old target stays whole until the copy is complete, and a symbolic link at
// the target is replaced, never followed), then removes the output and its
// text file. Each wait is up to 200 pauses of 500 ms; the copy is tried twice
// at once and then after each of 200 pauses, 202 times in all. Runs in the
// calling thread, pausing through platform::Sleep. Reports on the console
// only. `svox` (SvoxPath) is joined to the name directly when it ends in a
// separator, with ".\" otherwise.
void PublishWav(const char* svox, const std::string& target, const std::string& name);

// Deletes the file at `path` (a symbolic link itself, never its target),
// retrying up to 200 times 500 ms while the deletion fails. Prints nothing
// when the file is missing. Runs in the calling thread. Reports on the
// console only.
void DeleteWav(const std::string& path);

// The background worker of the speech lane and its bounded queue.
class WavWorker {
 public:
  // `retry_interval_ms` is the pause before a failed attempt is made again.
  explicit WavWorker(uint32_t retry_interval_ms = kWavRetryIntervalMs);
  // Tells the worker to end after the attempt in hand; tasks not done are
  // dropped (the process is ending, or a test is over).
  ~WavWorker();
  WavWorker(const WavWorker&) = delete;
  WavWorker& operator=(const WavWorker&) = delete;

  // True when the queue can take one more task.
  bool HasRoom() const;
  // Queues the task, starting the worker when it does not run. False when
  // the queue is full or the worker cannot be started; the task is then
  // dropped and the caller reports it.
  bool Queue(WavTask task);
  // True while a queued or running publishing task uses the synthesiser file
  // `name`: a new synthesis must then write under another name.
  bool SvoxNameInUse(const std::string& name) const;
  // True when no task is queued, retrying or running.
  bool Idle() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace qza

#endif  // QZA_TTS_WAV_THREADS_H_
