// Fault injection for tests.
//
// The platform layer asks FaultFor before each operation that a test may want
// to see fail; when a fault is armed for that point (and, where the operation
// names a path, the path text contains the armed fragment), the operation
// fails with the armed error number as if the system had refused it. Nothing
// is armed in the service, where the check costs one atomic load.
#ifndef QZA_PLATFORM_FAULT_H_
#define QZA_PLATFORM_FAULT_H_

#include <string>

#include "platform/Status.h"

namespace platform {

enum class FaultPoint {
  kOpen,    // opening or creating a file
  kWrite,   // writing to a file
  kClose,   // closing a file written to
  kRename,  // renaming a file
  kUnlink,  // deleting a file
  kSpawn,   // starting a child process (path: the command line)
  kNotify,  // creating the change notification (path: the directory)
  kRead,    // reading from a file
  kList,    // listing a directory (path: the directory text)
  kSync,    // making a file's writes durable
};

// Arms a fault: the next `count` operations at `point` whose path contains
// `path_part` fail with `error` (an errno value); a negative count arms it
// until ClearFaults. An empty `path_part` matches every path. Arming a point
// again replaces its earlier fault.
void InjectFault(FaultPoint point, int error, const char* path_part = "", int count = -1);
// Disarms every fault.
void ClearFaults();
// The error that the operation at `point` on `path` (may be null) must fail
// with, or 0 when it may go ahead. Consumes one of a counted fault.
int FaultFor(FaultPoint point, const char* path);

// As FaultFor, for an operation on an open descriptor: the path matched is
// the one the descriptor names now (only looked up while a fault is armed).
int FaultForDescriptor(FaultPoint point, int fd);

// The armed fault for the operation at `point` on `path` (may be null) as a
// failure of `operation`; success when it may go ahead.
Status FaultStatus(FaultPoint point, const char* operation, const char* path);
// As FaultStatus, for an operation on an open descriptor.
Status FaultStatus(FaultPoint point, const char* operation, int fd);
// The native form of the path text for `operation` at `point`, in *native:
// the prologue of every operation on a named file. Fails with ENOENT when the
// text names nothing, else with the armed fault.
Status CheckedNativePath(FaultPoint point, const char* operation, const char* path,
                         std::string* native);

// The path that descriptor `fd` names now, as the system tells it, with
// forward slashes; empty when it cannot be told. Each back end has its own.
std::string DescriptorPath(int fd);

}  // namespace platform

#endif  // QZA_PLATFORM_FAULT_H_
