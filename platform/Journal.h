// A small record that survives a crash of the process: one text that the next
// process finds once Store has returned.
//
// The record lives at the start of its file and is overwritten in place (only
// as many bytes as the text needs), so a store is one positioned write with no
// allocation of names. The write reaches the kernel's page cache, which
// outlives the process however it ends (kill -9, abort, the OOM killer). By
// default it is not synced to the disk, which would cost milliseconds per
// alarm, so a power failure may lose the last text. A journal opened to sync
// makes each write durable (fdatasync) before the write returns: the record
// then survives the death of the machine, which matters when another machine
// takes over the installation from shared storage. Each stored text carries
// its length and a check value; a torn block reads as empty, never as another
// text.
#ifndef QZA_PLATFORM_JOURNAL_H_
#define QZA_PLATFORM_JOURNAL_H_

#include <string>

#include "platform/Status.h"

namespace platform {

class Journal {
 public:
  // The longest text a block holds.
  static constexpr size_t kCapacity = 65000;

  Journal() = default;
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Opens or creates the file named by the path text (never through a link).
  // With `sync`, every Store and Clear reaches the disk before it returns.
  // Returns the failure of "open" when it cannot.
  Status Open(const char* path, bool sync);
  // True when Open made the file (it did not exist before).
  bool Created() const { return created_; }
  bool IsOpen() const { return fd_ >= 0; }
  // Closes the file; the journal may be opened again.
  void Close();
  // The stored text; empty when nothing is stored or the block is torn.
  std::string Load();
  // Reads the stored text whole into `text` (empty: nothing stored). False
  // when the file holds no whole record, with `damage` saying why: empty
  // though it was not made by this Open, larger than any record, a header
  // that is no record's, a length out of range, cut short, or a check value
  // that does not match. A record cleared by an earlier version (a header of
  // zero bytes) reads as empty.
  bool LoadWhole(std::string* text, std::string* damage);
  // Stores `text` (at most kCapacity bytes). Returns the failure of "write"
  // when it could not be written (EBADF: not open; EFBIG: too long), or of
  // "sync" when a journal that syncs could not sync it.
  Status Store(const std::string& text);
  // Empties the record; fails as Store.
  Status Clear();

 private:
  // Writes the block and syncs it when the journal syncs.
  Status Write(const char* block, size_t size);

  int fd_ = -1;
  bool created_ = false;
  bool sync_ = false;
};

}  // namespace platform

#endif  // QZA_PLATFORM_JOURNAL_H_
