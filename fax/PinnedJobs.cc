#include "fax/PinnedJobs.h"

#include <utility>

#include "platform/FileSystem.h"

namespace qza {

void PinnedJobs::Keep(std::unique_ptr<CDosFile> file, const std::string& name) {
  platform::FileStatus status;
  if (!file->GetStatus(&status)) return;
  Prune();
  if (jobs_.size() >= kMaxPinned) jobs_.erase(jobs_.begin());
  jobs_.push_back(Job{std::move(file), status, name});
}

bool PinnedJobs::Take(const char* path, std::string* name) {
  if (jobs_.empty()) return false;
  platform::FileStatus now;
  if (!platform::StatPath(path, &now).ok()) return false;
  for (auto it = jobs_.begin(); it != jobs_.end(); ++it) {
    if (it->status.dev == now.dev && it->status.ino == now.ino) {
      *name = it->name;
      jobs_.erase(it);
      return true;
    }
  }
  return false;
}

void PinnedJobs::Prune() {
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    platform::FileStatus now;
    const bool named = it->file->GetStatus(&now) != 0 && now.nlink > 0;
    it = named ? it + 1 : jobs_.erase(it);
  }
}

}  // namespace qza
