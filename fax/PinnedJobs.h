// Launched fax jobs whose name another program took away before the job could
// be deleted.
//
// The job may live on under another job name (moved, not deleted), where it
// would be faxed a second time. Each such job is kept open: the open
// descriptor keeps its inode from being given to any new file, so a job that
// turns up under another name is recognised for sure by device and inode,
// and never confused with a new job that a reused inode number would
// otherwise resemble. A job is let go once it has no name left, or when more
// than kMaxPinned are kept (the oldest first).
#ifndef QZA_FAX_PINNED_JOBS_H_
#define QZA_FAX_PINNED_JOBS_H_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/FileStatus.h"
#include "support/CDosFile.h"

namespace qza {

class PinnedJobs {
 public:
  static constexpr size_t kMaxPinned = 64;

  // Keeps the open job `file`, launched as `name` (nothing is kept when its
  // status cannot be had).
  void Keep(std::unique_ptr<CDosFile> file, const std::string& name);
  // True when the file at `path` is one of the kept jobs; `*name` is then
  // the name it was launched as, and the job is let go.
  bool Take(const char* path, std::string* name);
  // Lets go of the jobs that no longer have a name.
  void Prune();
  size_t Size() const { return jobs_.size(); }
  void Clear() { jobs_.clear(); }

 private:
  struct Job {
    std::unique_ptr<CDosFile> file;
    platform::FileStatus status;
    std::string name;
  };
  std::vector<Job> jobs_;
};

}  // namespace qza

#endif  // QZA_FAX_PINNED_JOBS_H_
