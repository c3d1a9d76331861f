// CDosFile: one named file opened with a DOS open-mode word.
//
// The mode word carries the access in its low bits (0 read, 1 write, 2 both)
// and the sharing in bits 4 to 6: 0x10 exclusive (the open fails while the file
// is open anywhere else), 0x20 deny write (fails while another program has it
// open for writing; readers never block it), 0x40 deny none. Opening for
// writing neither shortens the file nor moves past its start. Operations return
// 1 on success and 0 on failure (GetPos: -1) and print nothing; after a
// failure errno holds its reason, as for the C library, and LastError keeps
// it until the next failure.
#ifndef QZA_WDIR_CDOSFILE_H_
#define QZA_WDIR_CDOSFILE_H_

#include <cstdint>
#include <memory>

#include "platform/FileStatus.h"
#include "support/Export.h"

namespace qza {

class QZA_EXPORT CDosFile {
 public:
  // Named mode words; the numbers are the interface and stay valid.
  static constexpr unsigned long kRead = 0;
  static constexpr unsigned long kWrite = 1;
  static constexpr unsigned long kReadWrite = 2;
  static constexpr unsigned long kShareExclusive = 0x10;
  static constexpr unsigned long kShareDenyWrite = 0x20;
  static constexpr unsigned long kShareDenyNone = 0x40;
  static constexpr unsigned long kReadExclusive = kRead | kShareExclusive;        // 16
  static constexpr unsigned long kReadDenyWrite = kRead | kShareDenyWrite;        // 32
  static constexpr unsigned long kReadDenyNone = kRead | kShareDenyNone;          // 64
  static constexpr unsigned long kWriteExclusive = kWrite | kShareExclusive;      // 17
  static constexpr unsigned long kWriteDenyNone = kWrite | kShareDenyNone;        // 65
  static constexpr unsigned long kReadWriteExclusive = kReadWrite | kShareExclusive;  // 18
  static constexpr unsigned long kReadWriteDenyNone = kReadWrite | kShareDenyNone;    // 66

  // Stores a copy of `path` (null stores none). Opens nothing.
  explicit CDosFile(const char* path);
  // Closes the file when one is open.
  ~CDosFile();
  // The object owns a descriptor: it is not copied.
  CDosFile(const CDosFile&) = delete;
  CDosFile& operator=(const CDosFile&) = delete;

  // Creates the file, or empties an existing one, then opens it with `mode`.
  // Returns 0 without a path or when either step fails (the object stays
  // closed; an emptied file stays empty).
  int Create(unsigned long mode);
  // Opens the existing file with `mode`. Returns 1 on success; 0 when there is
  // no path, the file is missing or its sharing refuses the open.
  int Open(unsigned long mode);
  // Closes the file. 0 when none is open; else 1 when the close succeeded.
  // The object is closed afterwards in either case.
  int Close();
  // Moves to `offset` bytes from the start. 0 when closed or refused (past
  // the signed 32-bit range); a refused move leaves the position unchanged.
  int Seek(unsigned long offset);
  // Moves to the end of the file. 0 when closed or refused (an end past the
  // signed 32-bit range); a refused move leaves the position unchanged.
  int SeekEof();
  // The position from the start, or -1 when closed or the platform fails.
  long GetPos();
  // Reads up to `size` bytes and stores the count (0 at the end) in `count`.
  // Returns 0 when closed (count untouched) or on failure (count 0).
  int Read(void* buffer, unsigned long size, unsigned long* count);
  int Read(void* buffer, unsigned long size);
  // Reads one line ending in CR LF as a terminated text of at most size-1
  // bytes, without its CR LF, and leaves the position at the start of the next
  // line. A lone CR or LF does not end a line; a longer line comes back in
  // pieces of size-1 bytes. At the end of the file the text is empty and the
  // result 1. Returns 0, buffer untouched, when closed, when size is 0, or
  // when the read fails.
  int ReadLine(void* buffer, unsigned long size);
  // Writes `size` bytes and stores the count written. Returns 0 when closed
  // (count untouched) or on failure (count 0).
  int Write(const void* buffer, unsigned long size, unsigned long* count);
  int Write(const void* buffer, unsigned long size);
  // The status of the open file, which stays the file read even when its
  // name is given to another. 0 when closed or the platform fails.
  int GetStatus(platform::FileStatus* status) const;
  // The errno value of the last call that failed (EBADF for a read, write or
  // move of a closed file, ENOENT for an object without a path); 0 before
  // any failure.
  int LastError() const { return last_error_; }

 private:
  // Moves as lseek does; on failure puts the position back. 1 or 0.
  int MoveOrStay(int64_t offset, int origin);

  std::unique_ptr<char[]> path_;  // null when constructed without a path
  int fd_ = -1;                   // -1 while closed
  mutable int last_error_ = 0;    // see LastError
};

}  // namespace qza

// Programs written before the namespace use the global name.
using qza::CDosFile;

#endif  // QZA_WDIR_CDOSFILE_H_
