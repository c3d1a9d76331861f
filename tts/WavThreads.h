// Publishing synthesised WAV files and deleting old ones, in the background.
//
// One worker thread, started with the first task, takes the tasks of every
// job in the order they were queued, so that however many entries arrive the
// service holds one extra thread. The queue is bounded: the job asks for room
// before it starts a synthesis, and skips the entry when there is none, so the
// watch loop never waits for the worker. Each task makes the waits and
// retries of the synchronous routines below and reports on the console only.
#ifndef QZA_TTS_WAV_THREADS_H_
#define QZA_TTS_WAV_THREADS_H_

#include <cstddef>
#include <string>

// Tasks that may wait in the queue besides the one in hand.
constexpr size_t kWavQueueCapacity = 200;

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
};

// Publishes the synthesiser output `name`.wav (SvoxPath joined as below) at
// `target`: waits until the output is there, waits until an existing target
// may be replaced, copies the output over the target in one atomic step (the
// old target stays whole until the copy is complete, and a symbolic link at
// the target is replaced, never followed), then removes the output and its
// text file. Each wait is up to 200 pauses of 500 ms; the copy is tried twice
// at once and then after each of 200 pauses, 202 times in all. Reports on the
// console only. `svox` (SvoxPath) is joined to the name directly when it ends
// in a separator, with ".\" otherwise.
void PublishWav(const char* svox, const std::string& target, const std::string& name);

// Deletes the file at `path` (a symbolic link itself, never its target),
// retrying up to 200 times 500 ms while the deletion fails. Prints nothing
// when the file is missing. Reports on the console only.
void DeleteWav(const std::string& path);

// True when the queue can take one more task.
bool WavQueueHasRoom();

// Queues the task for the worker, starting the worker when it does not run.
// False when the queue is full or the worker cannot be started; the task is
// then dropped and the caller reports it.
bool QueueWavTask(WavTask task);

// True while a queued or running publishing task uses the synthesiser file
// `name`: a new synthesis must then write under another name.
bool SvoxNameInUse(const std::string& name);

// True when no task is queued or running.
bool WavWorkerIdle();

#endif  // QZA_TTS_WAV_THREADS_H_
