#include "alarm/SpareFile.h"

#include <errno.h>

#include "platform/Thread.h"

namespace {

// Errors that say the file system (or the system) makes no unnamed files.
bool NoUnnamedFiles(int error) {
  return error == ENOSYS || error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

}  // namespace

SpareFile& SpareFile::Instance() {
  static SpareFile* spare = new SpareFile();  // the thread may outlive main
  return *spare;
}

void SpareFile::Request(const char* directory) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (ready_ || wanted_ || unavailable_) return;
  directory_ = directory;
  wanted_ = true;
  if (!running_) running_ = platform::StartDetachedThread(&SpareFile::ThreadMain, this);
  if (running_) {
    wanted_changed_.notify_one();
    return;
  }
  MakeWanted(lock);  // no thread: made here, which still spares the next launch
}

void SpareFile::MakeWanted(std::unique_lock<std::mutex>& lock) {
  const std::string directory = directory_;
  lock.unlock();
  auto file = std::make_unique<platform::PreparedFile>();
  const bool made = file->Prepare(directory.c_str());
  const int error = errno;
  lock.lock();
  wanted_ = false;
  if (made) {
    ready_ = std::move(file);
  } else if (NoUnnamedFiles(error)) {
    unavailable_ = true;
  }
}

bool SpareFile::Ready() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ready_ != nullptr;
}

bool SpareFile::Publish(const char* path, const void* data, size_t size) {
  std::unique_ptr<platform::PreparedFile> file;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    file.swap(ready_);
  }
  if (!file) {
    errno = ENOENT;
    return false;
  }
  return file->Publish(path, data, size);
}

void SpareFile::ThreadMain(void* self) { static_cast<SpareFile*>(self)->Run(); }

void SpareFile::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wanted_changed_.wait(lock, [this] { return wanted_; });
    MakeWanted(lock);
  }
}
