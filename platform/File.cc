// The portable part of the file calls: the reasons of failures as records
// and console lines name them.
#include "platform/File.h"

#include <errno.h>
#include <string.h>

namespace platform {

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
