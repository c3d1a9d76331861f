#include "alarm/SpareFile.h"

#include <errno.h>

namespace {

// Errors that say the file system (or the system) makes no unnamed files.
bool NoUnnamedFiles(int error) {
  return error == ENOSYS || error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

}  // namespace

SpareFile& SpareFile::Instance() {
  static SpareFile* spare = new SpareFile();  // lives as long as the process
  return *spare;
}

void SpareFile::MakeAhead(const char* directory) {
  if (ready_ || unavailable_) return;
  auto file = std::make_unique<platform::PreparedFile>();
  if (file->Prepare(directory)) {
    ready_ = std::move(file);
  } else if (NoUnnamedFiles(errno)) {
    unavailable_ = true;
  }
}

bool SpareFile::Publish(const char* path, const void* data, size_t size) {
  std::unique_ptr<platform::PreparedFile> file = std::move(ready_);
  if (!file) {
    errno = ENOENT;
    return false;
  }
  return file->Publish(path, data, size);
}
