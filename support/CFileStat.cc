#include "support/CFileStat.h"

#include <cerrno>
#include <cstring>

#include "platform/FileSystem.h"

namespace qza {

CFileStat::CFileStat(const char* path) {
  if (path == nullptr || std::strlen(path) >= sizeof path_) return;
  std::memcpy(path_, path, std::strlen(path) + 1);
  result_ = Query(&snapshot_);
  update_ = 1;
}

int CFileStat::Query(Record* record) const {
  *record = Record();
  if (path_[0] == '\0') return -1;
  const platform::Status stated = platform::StatPath(path_, record);
  if (stated.ok()) return 0;
  errno = stated.error();  // the class answers as stat does
  return -1;
}

void CFileStat::Update(int result, const Record& record) {
  if (!update_) return;
  result_ = result;
  snapshot_ = record;
}

int CFileStat::Exists() const {
  Record record;
  return Query(&record) == 0 ? 1 : 0;
}

int CFileStat::HasChanged() {
  Record now;
  int result = Query(&now);
  bool changed =
      result != result_ || now.mtime != snapshot_.mtime || now.size != snapshot_.size;
  Update(result, now);
  return changed ? 1 : 0;
}

int CFileStat::HasChanged(long time) {
  Record now;
  int result = Query(&now);
  bool changed = result != result_ || now.mtime != time;
  Update(result, now);
  return changed ? 1 : 0;
}

long CFileStat::FileSize() const {
  Record record;
  return Query(&record) == 0 ? static_cast<long>(record.size) : -1;
}

}  // namespace qza
