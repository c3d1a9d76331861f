// The service's account of events on standard output.
//
// Every message is formatted completely and written with one write, so that
// messages of two threads never mix inside a line.
//
// Until StartConsoleWriter runs, Print writes in the calling thread (tools and
// tests that capture standard output rely on that). Once it runs, Print only
// queues the message for a writer thread, so a slow or stalled reader of
// standard output never holds up the caller. The queue is bounded: while it is
// full, messages are dropped and counted, and once there is room again a line
// says how many were dropped, in its place in the order. The writer sleeps on
// a condition variable while there is nothing to write; it costs nothing idle.
// After a write that came less than kWriterBurstGapMilliseconds after the one
// before, it rests kWriterRestMilliseconds, so that in a burst the messages of
// many files go out in one write and wake it once; a lone message (a
// time-out's, an alarm's now and then) costs no rest and no second wake.
// SIGPIPE is ignored by the service, so a closed standard output does not end
// it; its messages are then discarded.
#ifndef QZA_PLATFORM_CONSOLE_H_
#define QZA_PLATFORM_CONSOLE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Bytes of messages that may wait for the writer; past them messages drop.
constexpr size_t kConsoleQueueBytes = 1024 * 1024;

// How long the writer rests after a write in a burst before it writes again.
constexpr uint32_t kWriterRestMilliseconds = 10;
// Two writes closer together than this make a burst.
constexpr uint32_t kWriterBurstGapMilliseconds = 100;

// The line that stands for dropped messages (with their count).
constexpr char kDroppedFormat[] =
    "%lu messages of this account were dropped: standard output was not read\r\n";

// Formats like printf and writes the result to standard output (or queues it
// for the writer thread once that runs).
void Print(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// The syslog priority of a line on standard error.
enum class Priority {
  kFailure = 3,  // something the service had to do did not happen
  kWarning = 4,  // a refused spool entry, a setting that will cause trouble
  kInfo = 6,     // anything else
};

// Formats like printf and writes the result to standard error at once, in one
// write, in the calling thread: for reasons of failures (standard output stays
// the account of events). When standard error is the journal (JOURNAL_STREAM
// names its device and inode), each line of the text begins with the
// priority's prefix ("<3>"), so that the journal files it at that priority;
// elsewhere the text is written unchanged. Gives up silently when standard
// error is gone. errno is left as it was, for the caller's own checks.
void PrintError(Priority priority, const char* format, ...)
    __attribute__((format(gnu_printf, 2, 3)));
// PrintError with Priority::kFailure.
void PrintError(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// Print, and the same text once more on standard error at Priority::kWarning
// (after "qza_wdir: ", with a plain line end): for spool entries that are
// refused or passed over, which an operator who reads only the warnings of
// the journal must see too.
void PrintWarning(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// `text` with the priority's prefix before each of its lines, as PrintError
// writes it to the journal. A text without a line end is one line.
std::string WithPriorityPrefix(Priority priority, const std::string& text);

// Starts the writer thread; from then on Print only queues. Returns false, and
// Print goes on writing in the caller, when the thread cannot be started. A
// second call does nothing and returns true. The writer is never stopped:
// FlushConsole before the process ends.
bool StartConsoleWriter();

// Waits until every queued message has been written (or discarded because
// standard output is gone), at most `milliseconds`. Returns true when nothing
// is left; false on the time-out. True at once without a writer thread.
bool FlushConsole(uint32_t milliseconds);

// While the calling thread holds the account, its messages are queued without
// waking the writer; releasing wakes it once for all of them. The watch loop
// holds the account while it handles one short file, so that a file costs one
// hand-over to the writer instead of one per line. Nothing is held without a
// writer thread. Releasing what is not held does nothing.
void HoldConsole();
void ReleaseConsole();

// Sets the terminal title with an escape sequence, only when standard output
// is a terminal.
void SetTerminalTitle(const char* title);

// Ignores the signals that must not end the service: SIGPIPE (a closed
// standard output), SIGIO (a lease break) and SIGXFSZ (a write past the file
// size limit then fails with EFBIG and is reported by its caller).
void IgnoreServiceSignals();

}  // namespace platform

#endif  // QZA_PLATFORM_CONSOLE_H_
