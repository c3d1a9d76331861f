// The portable part of Status: the reasons in words.
#include "platform/Status.h"

#include <errno.h>
#include <string.h>

namespace platform {

Status Status::Failure(const char* operation, int error) {
  return Status(operation == nullptr ? "" : operation, error == 0 ? EIO : error);
}

const char* Status::reason() const { return ok() ? "" : ErrorText(error_); }

std::string Status::ToString() const {
  if (ok()) return "ok";
  std::string text = operation_;
  return text.append(": ").append(reason());
}

const char* ErrorText(int error) {
  switch (error) {
    case ELOOP:
      return "a symbolic link";
    case EISDIR:
      return "a directory";
    case ENODEV:
      return "not a regular file";
    case EBUSY:
      return "in use by another program";
    case EMLINK:
      return "a file with a second name (a hard link)";
    case ETIMEDOUT:
      return "the system did not answer in time";
    default:
      return strerror(error);
  }
}

}  // namespace platform
