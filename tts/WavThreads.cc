#include "tts/WavThreads.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
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

namespace {

constexpr int kRetryWaits = 200;  // 200 waits of 500 ms: 100 seconds
constexpr uint32_t kRetryIntervalMs = 500;

// Makes the attempt; while it fails and fewer than 200 waits have been made,
// waits 500 ms and tries again. True when the last attempt succeeded.
bool BoundedRetry(const std::function<bool()>& attempt) {
  bool done = attempt();
  for (int waits = 0; !done && waits < kRetryWaits; ++waits) {
    platform::Sleep(kRetryIntervalMs);
    done = attempt();
  }
  return done;
}

// Up to 200 times: waits 500 ms, then makes the attempt. True at the first
// success.
bool RetryAfterWaits(const std::function<bool()>& attempt) {
  for (int waits = 0; waits < kRetryWaits; ++waits) {
    platform::Sleep(kRetryIntervalMs);
    if (attempt()) return true;
  }
  return false;
}

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

bool TargetReplaceable(const char* target) {
  return platform::PathWritable(target) || !platform::PathExists(target);
}

// Removes a synthesiser file that served its purpose; a file that stays is
// said, since a later synthesis of the same name must replace it.
void RemoveUsedFile(const std::string& path) {
  if (platform::RemoveFile(path.c_str()) || errno == ENOENT) return;
  platform::Print("Failed to remove %s: %s\r\n", Printable(path.c_str()).c_str(),
                  platform::ErrorText(errno));
}

// The queue of the one worker. Made once and never destroyed, so that the
// worker may still wait on it while the process exits.
struct Queue {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<WavTask> tasks;
  std::multiset<std::string> names;  // synthesiser names of queued and running publishing
  bool running = false;              // the worker thread exists
  bool busy = false;                 // the worker holds a task
};

Queue& TheQueue() {
  static Queue* queue = new Queue;
  return *queue;
}

void Run(const WavTask& task) {
  if (task.kind == WavTask::Kind::kPublish) {
    PublishWav(task.svox.c_str(), task.path, task.name);
  } else {
    DeleteWav(task.path);
  }
}

void Worker(void*) {
  Queue& queue = TheQueue();
  std::unique_lock<std::mutex> lock(queue.mutex);
  for (;;) {
    queue.wake.wait(lock, [&] { return !queue.tasks.empty(); });
    WavTask task = std::move(queue.tasks.front());
    queue.tasks.pop_front();
    queue.busy = true;
    lock.unlock();
    Run(task);
    lock.lock();
    if (task.kind == WavTask::Kind::kPublish) queue.names.erase(queue.names.find(task.name));
    queue.busy = false;
  }
}

}  // namespace

void PublishWav(const char* svox, const std::string& target_path, const std::string& name) {
  const char* target = target_path.c_str();
  const std::string shown = Printable(target_path.c_str());
  const std::string output = SvoxFile(svox, name, ".wav");
  const std::string text = SvoxFile(svox, name, ".txt");

  if (!BoundedRetry([&] { return platform::PathWritable(output.c_str()); })) {
    platform::Print("Failed to create wavfile: %s (No tmpfile created)\n", shown.c_str());
    return;
  }
  if (!BoundedRetry([&] { return TargetReplaceable(target); })) {
    platform::Print("Failed to create wavfile: %s (Old wavfile can not be deleted)\n",
                    shown.c_str());
    return;
  }
  // The copy replaces the old target in one rename: it is never deleted first,
  // so a copy that fails leaves the old speech in place.
  auto copy = [&] { return platform::CopyFileReplacing(output.c_str(), target); };
  if (!copy() && !copy() && !RetryAfterWaits(copy)) {
    platform::Print("Failed to create wavfile: %s (Failed to copy)\n", shown.c_str());
    return;
  }
  RemoveUsedFile(text);
  RemoveUsedFile(output);
  platform::Print("Successfully moved %s to %s\r\n\n", Printable(output.c_str()).c_str(), shown.c_str());
}

void DeleteWav(const std::string& path) {
  if (!platform::PathExists(path.c_str())) return;
  if (BoundedRetry([&] { return platform::RemoveFile(path.c_str()); })) {
    platform::Print("Wavfile %s deleted\r\n\n", Printable(path.c_str()).c_str());
  } else {
    platform::Print("Failed to delete wavfile: %s\n", Printable(path.c_str()).c_str());
  }
}

bool WavQueueHasRoom() {
  Queue& queue = TheQueue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  return queue.tasks.size() < kWavQueueCapacity;
}

bool QueueWavTask(WavTask task) {
  Queue& queue = TheQueue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  if (queue.tasks.size() >= kWavQueueCapacity) return false;
  if (!queue.running) {
    if (!platform::StartDetachedThread(&Worker, nullptr)) return false;
    queue.running = true;  // it waits for the lock held here
  }
  if (task.kind == WavTask::Kind::kPublish) queue.names.insert(task.name);
  queue.tasks.push_back(std::move(task));
  queue.wake.notify_one();
  return true;
}

bool SvoxNameInUse(const std::string& name) {
  Queue& queue = TheQueue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  return queue.names.count(name) != 0;
}

bool WavWorkerIdle() {
  Queue& queue = TheQueue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  return queue.tasks.empty() && !queue.busy;
}
