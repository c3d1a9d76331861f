#include "tts/WavThreads.h"

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Thread.h"
#include "support/Printable.h"

namespace qza {

namespace {

// Where the synthesiser left a file of this name. The TTS job joins SvoxPath
// and the name with ".\"; with its trailing separator the two joins name the
// same file, and without it the worker joins as the job did, so that it finds
// the output where the synthesiser wrote it.
std::string SvoxFile(const char* svox, const std::string& name, const char* extension) {
  const size_t length = std::strlen(svox);
  const bool separator = length > 0 && (svox[length - 1] == '\\' || svox[length - 1] == '/');
  if (separator || length == 0) return std::string(svox) + name + extension;
  return platform::JoinPath(svox, name + extension);
}

// Gives the task the directory it works through: the one the job opened and
// judged, or else the directory part of its path, opened now; the failure of
// the open when that cannot be opened.
platform::Status OpenTarget(WavTask& task) {
  if (task.dir) return platform::Status();
  const size_t separator = task.path.find_last_of("\\/");
  std::string directory =
      separator == std::string::npos ? std::string() : task.path.substr(0, separator + 1);
  // The ".\" that JoinPath put in goes, so that the fault keys read as the path.
  if (directory.size() >= 2 && directory.compare(directory.size() - 2, 2, ".\\") == 0) {
    directory.resize(directory.size() - 2);
  }
  auto opened = std::make_shared<platform::Directory>();
  if (const platform::Status status = opened->Open(directory.c_str()); !status.ok()) {
    return status;
  }
  task.entry = separator == std::string::npos ? task.path : task.path.substr(separator + 1);
  task.dir = std::move(opened);
  return platform::Status();
}

// Removes a synthesiser file that served its purpose; a file that stays is
// said, since a later synthesis of the same name must replace it.
void RemoveUsedFile(const std::string& path) {
  const platform::Status removed = platform::RemoveFile(path.c_str());
  if (removed.ok() || removed.error() == ENOENT) return;
  platform::Print("Failed to remove %s: %s\r\n", Printable(path.c_str()).c_str(), removed.reason());
}

// One task on its way: the step it is at and the attempts that step failed.
struct Run {
  enum Step { kAwaitOutput, kAwaitTarget, kCopy, kDelete };
  WavTask task;
  Step step;
  int failures = 0;
  bool started = false;

  explicit Run(WavTask t)
      : task(std::move(t)), step(task.kind == WavTask::Kind::kDelete ? kDelete : kAwaitOutput) {}
};

enum class Outcome { kOver, kAgainNow, kAgainLater };

// A failed attempt: tried again after a pause while pauses are left, else
// given up with `failed` printed. The copy is tried twice before its first
// pause, so it may fail once more than the other steps.
Outcome Failed(Run& run, const std::string& failed) {
  ++run.failures;
  const int limit = kWavRetryWaits + (run.step == Run::kCopy ? 1 : 0);
  if (run.failures <= limit) {
    return run.step == Run::kCopy && run.failures == 1 ? Outcome::kAgainNow
                                                       : Outcome::kAgainLater;
  }
  platform::Print("%s", failed.c_str());
  return Outcome::kOver;
}

void Advance(Run& run, Run::Step step) {
  run.step = step;
  run.failures = 0;
}

// Makes one attempt of the task's step and of the steps that follow it at
// once; says whether the task is over or must be tried again.
Outcome Attempt(Run& run) {
  WavTask& task = run.task;
  const std::string shown = Printable(task.path.c_str());
  const platform::Status opened = OpenTarget(task);
  if (run.step == Run::kDelete) {
    const bool first = !run.started;
    run.started = true;
    if (!opened.ok()) {
      // No directory: nothing to delete.
      if (first && opened.error() == ENOENT) return Outcome::kOver;
      return Failed(run, "Failed to delete wavfile: " + shown + "\n");
    }
    if (first && !task.dir->EntryExists(task.entry.c_str())) return Outcome::kOver;
    if (task.dir->RemoveEntry(task.entry.c_str()).ok()) {
      platform::Print("Wavfile %s deleted\r\n\n", shown.c_str());
      return Outcome::kOver;
    }
    return Failed(run, "Failed to delete wavfile: " + shown + "\n");
  }
  const std::string output = SvoxFile(task.svox.c_str(), task.name, ".wav");
  if (run.step == Run::kAwaitOutput) {
    if (!platform::PathWritable(output.c_str())) {
      return Failed(run, "Failed to create wavfile: " + shown + " (No tmpfile created)\n");
    }
    Advance(run, Run::kAwaitTarget);
  }
  if (run.step == Run::kAwaitTarget) {
    if (!opened.ok() || !task.dir->EntryReplaceable(task.entry.c_str())) {
      return Failed(run,
                    "Failed to create wavfile: " + shown + " (Old wavfile can not be deleted)\n");
    }
    Advance(run, Run::kCopy);
  }
  // The copy replaces the old target in one rename: it is never deleted first,
  // so a copy that fails leaves the old speech in place.
  if (!task.dir->CopyInto(output.c_str(), task.entry.c_str()).ok()) {
    return Failed(run, "Failed to create wavfile: " + shown + " (Failed to copy)\n");
  }
  RemoveUsedFile(SvoxFile(task.svox.c_str(), task.name, ".txt"));
  RemoveUsedFile(output);
  platform::Print("Successfully moved %s to %s\r\n\n", Printable(output.c_str()).c_str(),
                  shown.c_str());
  return Outcome::kOver;
}

// Runs the task to its end in the calling thread.
void RunHere(WavTask task) {
  Run run(std::move(task));
  for (Outcome outcome = Attempt(run); outcome != Outcome::kOver; outcome = Attempt(run)) {
    if (outcome == Outcome::kAgainLater) platform::Sleep(kWavRetryIntervalMs);
  }
}

using SteadyClock = std::chrono::steady_clock;

}  // namespace

// The queue of one worker, shared with its thread, which may outlive the
// WavWorker that made it.
struct WavWorker::Shared {
  struct Waiting {
    Run run;
    SteadyClock::time_point due;
  };
  uint32_t retry_interval_ms;
  mutable std::mutex mutex;
  std::condition_variable wake;
  std::list<Waiting> waiting;        // in the order they were queued
  std::multiset<std::string> names;  // synthesiser names of queued and running publishing
  bool running = false;              // the worker thread exists
  bool busy = false;                 // the worker holds a task
  bool ending = false;               // the WavWorker is gone

  // The first task that is due, in queue order; end() when none is.
  std::list<Waiting>::iterator FirstDue(SteadyClock::time_point now) {
    for (auto it = waiting.begin(); it != waiting.end(); ++it) {
      if (it->due <= now) return it;
    }
    return waiting.end();
  }
  SteadyClock::time_point EarliestDue() const {
    SteadyClock::time_point earliest = SteadyClock::time_point::max();
    for (const Waiting& w : waiting) earliest = std::min(earliest, w.due);
    return earliest;
  }
};

namespace {

void Worker(void* argument) {
  std::shared_ptr<WavWorker::Shared> shared;
  {
    std::unique_ptr<std::shared_ptr<WavWorker::Shared>> handed(
        static_cast<std::shared_ptr<WavWorker::Shared>*>(argument));
    shared = *handed;
  }
  WavWorker::Shared& queue = *shared;
  const auto pause = std::chrono::milliseconds(queue.retry_interval_ms);
  std::unique_lock<std::mutex> lock(queue.mutex);
  for (;;) {
    auto due = queue.waiting.end();
    while (!queue.ending && (due = queue.FirstDue(SteadyClock::now())) == queue.waiting.end()) {
      const SteadyClock::time_point earliest = queue.EarliestDue();
      if (earliest == SteadyClock::time_point::max()) {
        queue.wake.wait(lock);
      } else {
        queue.wake.wait_until(lock, earliest);
      }
    }
    if (queue.ending) return;
    Run run = std::move(due->run);
    queue.waiting.erase(due);
    queue.busy = true;
    lock.unlock();
    Outcome outcome = Attempt(run);
    while (outcome == Outcome::kAgainNow) outcome = Attempt(run);
    lock.lock();
    queue.busy = false;
    if (outcome == Outcome::kAgainLater) {
      // Behind the tasks that wait already: a stuck target delays none of them.
      queue.waiting.push_back({std::move(run), SteadyClock::now() + pause});
    } else if (run.task.kind == WavTask::Kind::kPublish) {
      queue.names.erase(queue.names.find(run.task.name));
    }
  }
}

}  // namespace

void PublishWav(const char* svox, const std::string& target, const std::string& name) {
  RunHere({WavTask::Kind::kPublish, target, name, svox, nullptr, ""});
}

void DeleteWav(const std::string& path) { RunHere({WavTask::Kind::kDelete, path, "", "", nullptr, ""}); }

WavWorker::WavWorker(uint32_t retry_interval_ms) : shared_(std::make_shared<Shared>()) {
  shared_->retry_interval_ms = retry_interval_ms;
}

WavWorker::~WavWorker() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->ending = true;
  shared_->wake.notify_all();
}

bool WavWorker::HasRoom() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->waiting.size() < kWavQueueCapacity;
}

bool WavWorker::Queue(WavTask task) {
  Shared& queue = *shared_;
  std::lock_guard<std::mutex> lock(queue.mutex);
  if (queue.waiting.size() >= kWavQueueCapacity) return false;
  if (!queue.running) {
    auto* handed = new std::shared_ptr<Shared>(shared_);
    if (!platform::StartDetachedThread(&Worker, handed)) {
      delete handed;
      return false;
    }
    queue.running = true;  // it waits for the lock held here
  }
  if (task.kind == WavTask::Kind::kPublish) queue.names.insert(task.name);
  queue.waiting.push_back({Run(std::move(task)), SteadyClock::now()});
  queue.wake.notify_one();
  return true;
}

bool WavWorker::SvoxNameInUse(const std::string& name) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->names.count(name) != 0;
}

bool WavWorker::Idle() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->waiting.empty() && !shared_->busy;
}

}  // namespace qza
