// The standard streams as the console writer (platform/Console.cc) uses them;
// each back end has its own StandardStreams.cc.
#ifndef QZA_PLATFORM_STANDARD_STREAMS_H_
#define QZA_PLATFORM_STANDARD_STREAMS_H_

#include <cstddef>

namespace platform {

// Write all of `text` to standard output or standard error, waiting while the
// stream is full, as bytes. They give up silently when the stream is gone:
// the service goes on without it.
void WriteStandardOutput(const char* text, size_t size);
void WriteStandardError(const char* text, size_t size);

// True when standard error is a stream to the systemd journal: JOURNAL_STREAM
// holds "device:inode" and those are the device and inode of descriptor 2
// (systemd sets it for the service's own streams; a child that inherited the
// variable with another standard error is told apart). False on systems
// without a journal.
bool StandardErrorIsJournal();

// True when standard output is a terminal (a console on Windows).
bool StandardOutputIsTerminal();
// Sets the title of the console window through the system, where the system
// has such a call; false where a terminal takes its title from an escape
// sequence in the stream instead.
bool SetConsoleTitleBySystem(const char* title);
// Ignores the signals that must not end the service (see
// IgnoreServiceSignals); nothing where the system sends none of them.
void IgnoreStreamSignals();

}  // namespace platform

#endif  // QZA_PLATFORM_STANDARD_STREAMS_H_
