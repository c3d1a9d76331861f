// A small durable record: one text that survives a crash of the process or
// the machine once Store has returned.
//
// The record lives in one fixed-size block at the start of its file and is
// overwritten in place, so a store is one positioned write and one data sync,
// with no allocation of blocks or names. Each stored text carries its length
// and a check value; a block torn by a crash in the middle of a write reads as
// empty, never as another text.
#ifndef QZA_PLATFORM_JOURNAL_H_
#define QZA_PLATFORM_JOURNAL_H_

#include <string>

namespace platform {

class Journal {
 public:
  // The longest text a block holds.
  static constexpr size_t kCapacity = 1000;

  Journal() = default;
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Opens or creates the file named by the path text (never through a link).
  // Returns false with errno set when it cannot.
  bool Open(const char* path);
  bool IsOpen() const { return fd_ >= 0; }
  // The stored text; empty when nothing is stored or the block is torn.
  std::string Load();
  // Stores `text` (at most kCapacity bytes) and waits until it is on the
  // disk. Returns false with errno set when it could not be made durable.
  bool Store(const std::string& text);
  // Empties the record. Not synced: a crash may bring the previous text back,
  // which a reader must tolerate.
  bool Clear();

 private:
  int fd_ = -1;
};

}  // namespace platform

#endif  // QZA_PLATFORM_JOURNAL_H_
