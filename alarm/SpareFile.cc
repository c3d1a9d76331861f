#include "alarm/SpareFile.h"

#include <errno.h>

namespace qza {

namespace {

// Errors that say the file system (or the system) makes no unnamed files.
bool NoUnnamedFiles(int error) {
  return error == ENOSYS || error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

}  // namespace

void SpareFile::MakeAhead(const char* directory) {
  if (unavailable_) return;
  const platform::Status prepared = file_.Prepare(directory);
  if (!prepared.ok() && NoUnnamedFiles(prepared.error())) unavailable_ = true;
}

platform::Status SpareFile::Publish(const char* path, const void* data, size_t size) {
  return file_.Publish(path, data, size);
}

}  // namespace qza
