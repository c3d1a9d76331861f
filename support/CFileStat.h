// CFileStat: a file path and a snapshot of that file's status.
//
// Answers whether the file exists, how large it is, and whether it has changed
// since the snapshot. The path lives in a 128-byte buffer inside the object; a
// longer path is refused rather than cut, so that the object never names
// another file: it then holds an empty path and finds nothing.
#ifndef QZA_WDIR_CFILESTAT_H_
#define QZA_WDIR_CFILESTAT_H_

#include <cstdint>

#include "platform/FileStatus.h"
#include "support/Export.h"

namespace qza {

class QZA_EXPORT CFileStat {
 public:
  static constexpr int kPathSize = 128;

  // The file status record, as the run-time library's stat fills it. After a
  // failed status query every field is 0.
  using Record = platform::FileStatus;

  // With a path of at most 127 characters: copies it, takes the snapshot and
  // turns the update flag on. Without a path, or with a longer one: empty
  // path, stored result -1, update flag off.
  explicit CFileStat(const char* path);
  CFileStat(const CFileStat&) = default;
  CFileStat& operator=(const CFileStat&) = default;

  // With the flag on, every change test stores what it read as the snapshot.
  void SetUpdate(int flag) { update_ = flag; }
  // Clears the snapshot's fields; the stored result stays.
  void Reset() { snapshot_ = Record(); }
  // 1 when the path names an existing file or directory now, else 0.
  int Exists() const;
  // 1 when the status query's result, the modification time or the size
  // differs from the snapshot, else 0.
  int HasChanged();
  // 1 when the query's result differs from the stored one or the modification
  // time differs from `time` (seconds since 1970), else 0.
  int HasChanged(long time);
  // The file's size now, or -1 when it does not exist.
  long FileSize() const;
  // The object's own path buffer.
  char* Filename() { return path_; }
  // The status record of the snapshot.
  const Record& Snapshot() const { return snapshot_; }

 private:
  // Queries the status now into `record`; returns 0 or -1.
  int Query(Record* record) const;
  // Stores the query as the snapshot when the update flag is on.
  void Update(int result, const Record& record);

  char path_[kPathSize] = {};
  int update_ = 0;
  int result_ = -1;
  Record snapshot_;
};

}  // namespace qza

// Programs written before the namespace use the global name.
using qza::CFileStat;

#endif  // QZA_WDIR_CFILESTAT_H_
