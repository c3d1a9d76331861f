// The standard streams as the console writer uses them, one implementation
// per system.
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

}  // namespace platform

#endif  // QZA_PLATFORM_STANDARD_STREAMS_H_
