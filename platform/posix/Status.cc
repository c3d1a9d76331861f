// POSIX: a failure's error number is the calling thread's errno.
#include "platform/Status.h"

#include <errno.h>

namespace platform::backend {

Status LastFailure(const char* operation) { return Status::Failure(operation, errno); }

}  // namespace platform::backend
