// Helpers shared by the Win32 files of the platform layer (not part of its
// interface).
//
// Descriptors: the layer's interface hands out `int` descriptors. On Windows
// they are C run-time descriptors wrapping a HANDLE (_open_osfhandle), so the
// callers keep their types; the layer reads and writes through the HANDLE
// itself (ReadFile, WriteFile), never through the run-time's text mode.
#ifndef QZA_PLATFORM_WIN32_WIN32_H_
#define QZA_PLATFORM_WIN32_WIN32_H_

#include <windows.h>

#include <string>

namespace platform::win32 {

// The errno value for a Windows error code (EIO for one without a match).
int ErrnoFromError(DWORD error);
// The HANDLE behind a descriptor; INVALID_HANDLE_VALUE for a bad one.
HANDLE HandleOf(int fd);
// Wraps a HANDLE in a descriptor. Returns -1 with errno set, and closes the
// handle, when the run-time has no descriptor left.
int DescriptorFor(HANDLE handle, bool read_only);
// A native path with backslashes, as cmd and some Windows calls want it.
std::string BackslashPath(std::string native);
// The event that is set while a stop is requested (manual reset); created on
// first use and never closed.
HANDLE StopEvent();

}  // namespace platform::win32

#endif  // QZA_PLATFORM_WIN32_WIN32_H_
