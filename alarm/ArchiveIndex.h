// The archive numbers of one month, kept in memory.
//
// An alarm is archived under the lowest sequence number of its month whose
// name ("YYMM_<server><NN>.alr", NN at least two digits) does not exist in
// WatchPath, gaps included. Asking the file system for every number costs one
// status query per archive of the month for every alarm, and the spool
// directory only grows. So the index learns the month's taken numbers from
// one listing of the directory (when it does not know the month yet, and again
// whenever names may have been missed) and keeps them current from the
// directory's own events: every name that appears or leaves, whoever made it.
// Its answer is then checked with one status query before it is used.
#ifndef QZA_ALARM_ARCHIVE_INDEX_H_
#define QZA_ALARM_ARCHIVE_INDEX_H_

#include <cstdint>
#include <string>
#include <vector>

namespace qza {

class ArchiveIndex {
 public:
  // The sequence number that `name` carries when it is an archive name of
  // `prefix` ("YYMM_<server>"), else 0.
  static int SequenceOf(const std::string& prefix, const char* name);

  // Makes `prefix` the month the index knows, from `names` (a listing of the
  // directory: every name in it).
  void Rebuild(const std::string& prefix, const std::vector<std::string>& names);
  // True when the index knows the taken numbers of `prefix`.
  bool Knows(const std::string& prefix) const { return valid_ && prefix == prefix_; }
  // Forgets everything: names may have been missed.
  void Invalidate() { valid_ = false; }

  // A name appeared in the directory, or left it.
  void NameAppeared(const char* name);
  void NameLeft(const char* name);
  // Marks a number as taken (a name found to exist, or just used).
  void MarkTaken(int sequence);

  // The lowest number not taken, from `from` up (at least 1).
  int LowestFree(int from = 1) const;

 private:
  bool Taken(int sequence) const;
  void Set(int sequence, bool taken);

  bool valid_ = false;
  std::string prefix_;
  std::vector<uint64_t> bits_;  // bit n: number n is taken
  int lowest_free_ = 1;         // no number below it is free
};

}  // namespace qza

#endif  // QZA_ALARM_ARCHIVE_INDEX_H_
