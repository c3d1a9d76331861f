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

}  // namespace platform

#endif  // QZA_PLATFORM_STANDARD_STREAMS_H_
