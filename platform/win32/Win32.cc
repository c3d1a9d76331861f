// Helpers shared by the files of the Windows back end.
#include "platform/win32/Win32.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>

#include <string>

namespace platform {
namespace win32 {

int ErrnoFromError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
      return EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
      return ENOEXEC;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ELOOP;
    default:
      return EIO;
  }
}

HANDLE HandleOf(int fd) {
  return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

int DescriptorFor(HANDLE handle, bool read_only) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle),
                                 _O_BINARY | (read_only ? _O_RDONLY : 0));
  if (fd < 0) {
    CloseHandle(handle);  // never used: nothing to lose
    errno = EMFILE;
  }
  return fd;
}

std::string BackslashPath(std::string native) {
  for (char& c : native) {
    if (c == '/') c = '\\';
  }
  return native;
}

HANDLE StopEvent() {
  static const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event;
}

}  // namespace win32

}  // namespace platform
