// The block file under the crash record (platform/Journal.cc), one
// implementation per system.
#ifndef QZA_PLATFORM_JOURNAL_FILE_H_
#define QZA_PLATFORM_JOURNAL_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Status.h"

namespace platform {

// Opens or creates the regular file at the native path for reading and
// writing, without following a link. The descriptor, or the failure of
// "open" (ENODEV for something that is no regular file).
Result<int> OpenJournalFile(const std::string& native);
// Closes it; nothing written can be lost by that.
void CloseJournalFile(int fd);
// Writes `size` bytes at offset 0, whole; the failure of "write" (ENOSPC for
// a short write).
Status WriteJournalBlock(int fd, const char* block, size_t size);
// Makes what was written to the file durable on its storage (its data, and
// the metadata needed to read it back); the failure of "sync".
Status SyncJournalFile(int fd);
// Reads up to `size` bytes from offset 0; the count, or the failure of "read".
Result<int64_t> ReadJournalBlock(int fd, char* block, size_t size);

}  // namespace platform

#endif  // QZA_PLATFORM_JOURNAL_FILE_H_
