// An open directory, and the names in it created and removed through it.
//
// A directory named by a hostile text (a speech job's Dir=) is opened once,
// judged on what was opened, and every later step works on that descriptor
// with a plain name, so that neither a link nor a ".." swapped into the text
// afterwards changes which directory is written.
#ifndef QZA_PLATFORM_DIRECTORY_H_
#define QZA_PLATFORM_DIRECTORY_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Status.h"

namespace platform {

class Directory {
 public:
  Directory() = default;
  ~Directory();
  Directory(Directory&& other) noexcept;
  Directory& operator=(Directory&& other) noexcept;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // Opens the directory that the path text names (the empty text: the working
  // directory); links and ".." in the text are resolved by the system. The
  // object keeps the text for its fault keys. The failure of "open" (ENOTDIR
  // for anything but a directory).
  Status Open(const char* text);
  bool is_open() const { return handle_ != -1; }

  // The volume (device) and file index (inode) of the opened directory; the
  // failure of "stat".
  Status Identity(FileIdentity* identity) const;

  // 1 + the index of the nearest of `roots` (compared by SameFile) that the
  // opened directory is or lies below, judged by walking up from the opened
  // directory itself; 0 when it lies below none; the failure of the step
  // that failed when the walk fails (ELOOP when it never ends).
  Result<int> WithinAny(const std::vector<FileIdentity>& roots) const;

  // The entry `name` (a plain name) exists; a link counts, dangling or not.
  bool EntryExists(const char* name) const;
  // The entry may be replaced: it is missing, a link (replaced, not
  // followed), or a file that may be written (a file without any write
  // permission bit counts as read-only even for root).
  bool EntryReplaceable(const char* name) const;
  // Copies the regular file at the path text `from` (reached without
  // following a link) to `name` in this directory: into a new file beside it,
  // created without following a link, renamed over `name`. Readers see the
  // old or the new file whole; after a failure `name` is untouched.
  Status CopyInto(const char* from, const char* name) const;
  // Removes the entry `name` (a link itself, never its target); the failure
  // of "remove" otherwise.
  Status RemoveEntry(const char* name) const;

 private:
  void Close();
  std::string FaultKey(const char* name) const;

  // The back end's part, one per system, under the calls above: the front
  // (platform/Directory.cc) has turned the path texts into native paths and
  // made the fault checks. They return as the calls above do.
  // Opens the directory at the native path.
  Status OpenNative(const std::string& native);
  // Copies the regular file at the native path `source` into a new file
  // beside `name`, closed; its name in *temp. On failure no file is left.
  Status CopyToTemporary(const std::string& source, const char* name, std::string* temp) const;
  // Renames the temporary over `name`; on failure removes it.
  Status ReplaceByTemporary(const std::string& temp, const char* name) const;
  // Removes a temporary that is not used after all; a failure leaves nothing
  // more to do.
  void DropTemporary(const std::string& temp) const;
  Status RemoveNamed(const char* name) const;

  intptr_t handle_ = -1;  // a descriptor (POSIX) or a HANDLE (Windows)
  std::string text_;      // the path text it was opened from
  std::string final_;     // Windows: the final path of the opened directory
};

}  // namespace platform

#endif  // QZA_PLATFORM_DIRECTORY_H_
