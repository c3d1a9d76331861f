#include "platform/Console.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/StandardStreams.h"
#include "platform/Thread.h"

namespace platform {
namespace {

// How long the end of the process waits for queued messages.
constexpr uint32_t kExitFlushMilliseconds = 2000;

// Formats into a string; empty when the format fails.
std::string Format(const char* format, va_list args) {
  char buffer[4096];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(buffer, sizeof buffer, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<size_t>(n));
  std::string large(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(large.data(), large.size(), format, args);
  large.resize(static_cast<size_t>(n));
  return large;
}

// Messages waiting for the writer thread. Allocated once and never destroyed,
// so the detached writer can outlive the static destructors at exit.
struct Queue {
  std::mutex mutex;
  std::condition_variable queued;   // the writer waits for messages
  std::condition_variable written;  // FlushConsole waits for an empty queue
  std::deque<std::string> messages;
  size_t bytes = 0;            // of messages queued or being written
  unsigned long dropped = 0;   // since the last dropped line was queued
  bool writing = false;        // the writer holds a message outside the lock
};

Queue& TheQueue() {
  static Queue* queue = new Queue();
  return *queue;
}

std::atomic<bool> writer_running{false};
thread_local bool held = false;  // this thread's messages wait for ReleaseConsole

bool HasRoom(const Queue& queue, size_t size) {
  // A message larger than the whole bound still goes into an empty queue.
  return queue.bytes + size <= kConsoleQueueBytes || (queue.messages.empty() && !queue.writing);
}

void Push(Queue& queue, std::string message) {
  // Only an idle writer needs waking; a busy one finds the message when it
  // comes back for more.
  const bool writer_idle = queue.messages.empty() && !queue.writing;
  queue.bytes += message.size();
  queue.messages.push_back(std::move(message));
  if (writer_idle && !held) queue.queued.notify_one();
}

std::string DroppedLine(unsigned long count) {
  char line[160];
  int n = snprintf(line, sizeof line, kDroppedFormat, count);
  return std::string(line, n > 0 ? static_cast<size_t>(n) : 0);
}

// Queues the line about dropped messages when there are any and it fits.
// Called with the lock held.
void QueueDroppedLine(Queue& queue, size_t room_after) {
  if (queue.dropped == 0) return;
  std::string line = DroppedLine(queue.dropped);
  if (!HasRoom(queue, line.size() + room_after)) return;
  queue.dropped = 0;
  Push(queue, std::move(line));
}

void Enqueue(std::string message) {
  Queue& queue = TheQueue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  QueueDroppedLine(queue, message.size());
  if (queue.dropped != 0 || !HasRoom(queue, message.size())) {
    ++queue.dropped;
    return;
  }
  Push(queue, std::move(message));
}

void WriterMain(void*) {
  Queue& queue = TheQueue();
  std::unique_lock<std::mutex> lock(queue.mutex);
  auto last_write = std::chrono::steady_clock::time_point();
  for (;;) {
    queue.queued.wait(lock, [&] { return !queue.messages.empty(); });
    // Everything queued goes out in one write: whole messages, in order.
    std::deque<std::string> batch;
    batch.swap(queue.messages);
    queue.writing = true;
    lock.unlock();
    std::string joined;
    for (const std::string& message : batch) joined += message;
    WriteStandardOutput(joined.data(), joined.size());
    lock.lock();
    queue.writing = false;
    queue.bytes -= joined.size();
    if (queue.messages.empty()) queue.written.notify_all();
    // In a burst, messages that come meanwhile gather and go out together
    // after the rest: a hand-over per rest, not one per file.
    const auto now = std::chrono::steady_clock::now();
    const bool burst = now - last_write < std::chrono::milliseconds(kWriterBurstGapMilliseconds);
    last_write = now;
    if (!burst) continue;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(kWriterRestMilliseconds));
    lock.lock();
  }
}

void FlushAtExit() { FlushConsole(kExitFlushMilliseconds); }

void Emit(const char* text, size_t size) {
  if (writer_running.load(std::memory_order_acquire)) {
    Enqueue(std::string(text, size));
  } else {
    WriteStandardOutput(text, size);
  }
}

// Writes a message to standard error, with priority prefixes when that is
// the journal.
void WriteErrorText(Priority priority, const std::string& message) {
  if (message.empty()) return;
  if (!StandardErrorIsJournal()) {
    WriteStandardError(message.data(), message.size());
    return;
  }
  const std::string prefixed = WithPriorityPrefix(priority, message);
  WriteStandardError(prefixed.data(), prefixed.size());
}

void WriteError(Priority priority, const std::string& message) {
  const int saved_errno = errno;  // callers report and then look at errno
  WriteErrorText(priority, message);
  errno = saved_errno;
}

}  // namespace

void Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = Format(format, args);
  va_end(args);
  if (!message.empty()) Emit(message.data(), message.size());
}

std::string WithPriorityPrefix(Priority priority, const std::string& text) {
  char prefix[8];
  snprintf(prefix, sizeof prefix, "<%d>", static_cast<int>(priority));
  std::string prefixed;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const size_t next = end == std::string::npos ? text.size() : end + 1;
    prefixed += prefix;
    prefixed.append(text, start, next - start);
    start = next;
  }
  return prefixed;
}

void PrintError(Priority priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = Format(format, args);
  va_end(args);
  WriteError(priority, message);
}

void PrintWarning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = Format(format, args);
  va_end(args);
  if (message.empty()) return;
  Emit(message.data(), message.size());
  std::string line = std::string("qza_wdir: ").append(message);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  line += '\n';
  WriteError(Priority::kWarning, line);
}

void PrintError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = Format(format, args);
  va_end(args);
  WriteError(Priority::kFailure, message);
}

bool StartConsoleWriter() {
  static std::mutex start_mutex;
  std::lock_guard<std::mutex> lock(start_mutex);
  if (writer_running.load()) return true;
  TheQueue();  // allocated before the thread can look for it
  if (!StartDetachedThread(&WriterMain, nullptr)) return false;
  writer_running.store(true, std::memory_order_release);
  // Messages queued at the end of main still reach standard output. Without
  // the handler they are lost at exit, which is no reason to stop.
  atexit(&FlushAtExit);
  return true;
}

void HoldConsole() { held = true; }

void ReleaseConsole() {
  if (!held) return;
  held = false;
  if (!writer_running.load(std::memory_order_acquire)) return;
  Queue& queue = TheQueue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  if (!queue.messages.empty() && !queue.writing) queue.queued.notify_one();
}

void SetTerminalTitle(const char* title) {
  if (!StandardOutputIsTerminal()) return;
  if (!SetConsoleTitleBySystem(title)) Print("\033]0;%s\007", title);
}

void IgnoreServiceSignals() { IgnoreStreamSignals(); }

bool FlushConsole(uint32_t milliseconds) {
  if (!writer_running.load(std::memory_order_acquire)) return true;
  Queue& queue = TheQueue();
  std::unique_lock<std::mutex> lock(queue.mutex);
  QueueDroppedLine(queue, 0);
  if (!queue.messages.empty()) queue.queued.notify_one();  // held messages too
  return queue.written.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
    return queue.messages.empty() && !queue.writing;
  });
}

}  // namespace platform
