// Files with the DOS open-mode word and its sharing.
//
// The mode word: access in the low bits (0 read, 1 write, 2 read and write),
// sharing in bits 4 to 6:
// - 0x10 exclusive: the open fails while the file is open anywhere else, in
//   this process or another. The file is opened with O_NONBLOCK and a write
//   lease is asked for and given back at once: the kernel grants it only when
//   no other descriptor has the file open. While open, the descriptor also
//   holds flock(LOCK_EX), an open-file-description lock that (unlike an fcntl
//   write lock) works on descriptors opened for reading too, so two of our own
//   objects, or a cooperating program that takes flock, never hold it at once.
// - 0x20 deny write: the open fails while another descriptor has the file open
//   for writing; readers never block it. Checked by a read lease on a probe
//   descriptor, which the kernel refuses while any writer exists.
// - 0x40 deny none (and 0): no lease, no lock.
//
// Leases need the caller to own the file or hold CAP_LEASE, and a local file
// system. A lease request that fails for any reason other than a conflict
// (EAGAIN) falls back to the lock alone; LeasesWork tells the service at
// start-up whether that happens on its spool directory. A lease holder is sent
// SIGIO when someone opens the file, and SIGIO ends a process by default: the
// first lease request sets SIGIO to be ignored when it still has its default
// disposition.
#ifndef QZA_PLATFORM_FILE_H_
#define QZA_PLATFORM_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Status.h"

namespace platform {

constexpr unsigned kShareExclusive = 0x10;
constexpr unsigned kShareDenyWrite = 0x20;
constexpr unsigned kShareDenyNone = 0x40;

// Opens an existing regular file with the mode word. Returns the descriptor,
// or the failure of "open". Opening for writing neither shortens the file nor
// moves past its start.
//
// Every name may come from a hostile writer, so the open never follows a
// symbolic link in the last component (ELOOP), never blocks (a FIFO with no
// writer, a device), and refuses what is not a regular file: EISDIR for a
// directory, ENODEV for a FIFO, socket or device, EMLINK for a file with a
// second name (a hard link could give a spool writer a file it may not read).
// A sharing conflict gives EBUSY. Status::reason turns these into words.
Result<int> FileOpen(const char* path, unsigned mode);
// Creates the file, or empties an existing regular file (length 0), and
// closes it again; a symbolic link in the last component is never followed.
Status FileTruncateOrCreate(const char* path);
// Closes the descriptor, which is gone afterwards either way; the failure of
// "close" can report a write that failed late.
Status FileClose(int fd);
// Moves the position (origin 0 start, 1 current, 2 end). Returns the new
// position, or the failure of "seek" when the platform refuses or the
// position passes the signed 32-bit range (EOVERFLOW).
Result<int64_t> FileSeek(int fd, int64_t offset, int origin);
// Reads up to `size` bytes. Returns the count (0 at the end), or the failure
// of "read".
Result<int64_t> FileRead(int fd, void* buffer, size_t size);
// Writes all `size` bytes. Returns the count written (`size`), or the failure
// of "write".
Result<int64_t> FileWrite(int fd, const void* buffer, size_t size);

// Writes `size` bytes as the whole new content of the file named by the path
// text: into a new file beside it (created with mode 0666 less the umask),
// closed, then renamed over the old name. A reader sees the old content or the
// new one, never a part; a symbolic link at the name is replaced, never
// followed. On failure the old file is untouched and no temporary file is
// left.
Status WriteFileAtomically(const char* path, const void* data, size_t size);

// Creates a new, empty regular file that nobody can have foreseen in the
// directory named by the path text (empty: the working directory): its name
// is `prefix` followed by 16 random letters and digits. The create is
// exclusive: it never opens what is there already and never follows a link,
// so a name that turns out to be taken (by a file, a link, anything) is given
// up for another random one, up to kUniqueFileTries names in all. Returns a
// descriptor open for writing (FileWrite, FileClose) and stores the file's
// path text in *path; or the failure of "create" (EEXIST when every name was
// taken).
constexpr int kUniqueFileTries = 100;
Result<int> CreateUniqueFile(const char* directory, const char* prefix, std::string* path);

// Makes `size` bytes the whole content of the record file named by the path
// text. A regular file with one name that is already there is rewritten in
// place (the new bytes over the old, then cut to length), so it keeps its
// inode: a burst of rewrites allocates and frees nothing in the file system,
// where every freed inode makes the next allocation search further. Any other
// name (a new one, a symbolic link, a file with a second name, a FIFO) gets
// the content through WriteFileAtomically, which replaces what is at the name
// and follows nothing. A reader may see a part while a rewrite is under way.
// After a failure a file rewritten in place is left empty rather than
// holding a mix of old and new bytes.
Status RewriteFile(const char* path, const void* data, size_t size);

// An unnamed file made ahead in a directory, so that a new record can later
// be created without waiting for the file system to allocate it: where many
// inodes were freed a moment before, that allocation is the slowest step of
// writing a record. Linux makes it with O_TMPFILE; where the file system (or
// Windows) has no unnamed files, Prepare fails and the caller writes the
// usual way.
class PreparedFile {
 public:
  PreparedFile() = default;
  ~PreparedFile();
  PreparedFile(const PreparedFile&) = delete;
  PreparedFile& operator=(const PreparedFile&) = delete;

  // Makes the unnamed file in the directory named by the path text, unless
  // one is ready. Success when one is ready; the failure of "create" (ENOSYS,
  // EOPNOTSUPP, EISDIR or EINVAL where no unnamed files can be made).
  Status Prepare(const char* directory);
  // True when a file is prepared and not yet used up.
  bool Prepared() const { return fd_ >= 0; }
  // Writes `size` bytes into the prepared file and gives it the name the path
  // text names, which must be free: whatever stands at the name (a file, a
  // link, dangling or not) is neither replaced nor followed (EEXIST). A
  // reader never sees a part, as the name appears with the whole content.
  // The failure names its step (ENOENT when nothing is prepared, EXDEV when
  // the name lies on another file system). The prepared file is used up
  // either way.
  Status Publish(const char* path, const void* data, size_t size);

 private:
  int fd_ = -1;
};

// Appends `size` bytes to the file named by the path text in one write,
// creating it (mode 0666 less the umask) when missing. The open never follows
// a symbolic link and refuses what is not a regular file. With
// `deny_writers`, the append waits for nobody but fails with EBUSY while
// another descriptor has the file open for writing. Success when every byte
// was written and the file closed; after a failure none of the bytes stay
// (the file is cut back to its old length).
Status AppendToFile(const char* path, const void* data, size_t size, bool deny_writers);

// True when exclusive opens in the directory named by the path text can use
// leases (see above). Probes with a temporary file that it removes again.
bool LeasesWork(const char* directory);

// True when this process may take leases on files that other users own: it
// holds CAP_LEASE in its effective set (root normally does). Without it, a
// spool file of another user that is still being written cannot be told
// from a finished one, and the exclusive open falls back to the lock alone.
bool CanLeaseFilesOfOthers();

// The back end's part, one per system, under the calls above. The front
// (platform/File.cc) turns each path text into a native path and makes the
// argument and fault checks once per call; these do the system's work. All
// return as the calls above do.
namespace backend {
Result<int> OpenNamed(const std::string& native, unsigned mode);
Status TruncateOrCreateFile(const std::string& native);
// Fills `size` bytes from the system's random source.
Status RandomBytes(unsigned char* bytes, size_t size);
// Creates the file open for writing; EEXIST for a name that is taken by
// anything, a link included.
Result<int> CreateNewFile(const std::string& native);
Status CloseDescriptor(int fd);
// With an origin and offset that FileSeek has checked.
Result<int64_t> SeekDescriptor(int fd, int64_t offset, int origin);
Result<int64_t> ReadDescriptor(int fd, void* buffer, size_t size);
Result<int64_t> WriteDescriptor(int fd, const void* buffer, size_t size);
// Writes `size` bytes into a new file beside `native` and closes it; its
// native path in *temp. On failure no file is left.
Status WriteTemporary(const std::string& native, const void* data, size_t size, std::string* temp);
// Renames the temporary over `native`; on failure removes it.
Status ReplaceByTemporary(const std::string& temp, const std::string& native);
// Removes a temporary that is not used after all; a failure leaves nothing
// more to do.
void DropTemporary(const std::string& temp);
// Opens the file for a rewrite in place: -1 when it must be replaced instead
// (missing, no regular file with one name, or a system that always
// replaces). Nothing to report: the replacement reports its own failure.
int OpenForRewrite(const std::string& native);
// Rewrites the file opened by OpenForRewrite and closes it (see RewriteFile).
Status RewriteOpenFile(int fd, const void* data, size_t size);
// An unnamed file in the directory (see PreparedFile).
Result<int> MakeUnnamedFile(const std::string& native_directory);
// Writes into the unnamed file, gives it the name and closes it; the
// descriptor is used up either way.
Status PublishUnnamedFile(int fd, const std::string& native, const void* data, size_t size);
Status AppendToNamedFile(const std::string& native, const void* data, size_t size,
                         bool deny_writers);
}  // namespace backend

}  // namespace platform

#endif  // QZA_PLATFORM_FILE_H_
