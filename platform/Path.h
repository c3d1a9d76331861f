// Path texts and native paths.
//
// Every path text of the system (settings, joined spool paths, the files of a
// TTS job) keeps its Windows form, backslashes included, because other
// programs of the installation read the records that carry it. The layer turns
// such a text into a native path only at the moment it touches the file system.
#ifndef QZA_PLATFORM_PATH_H_
#define QZA_PLATFORM_PATH_H_

#include <string>

namespace platform {

// Maps a path text to a native path:
// - `\` and `/` both separate components; runs of separators count as one;
// - a component that ends in dots, other than `.` and `..`, loses its trailing
//   dots, so "dir" + ".\" + name and "dir\" + ".\" + name name the same file;
//   a component made of dots only (such as "...") becomes ".";
// - a leading drive letter and colon ("c:\svox\") is dropped; Windows keeps
//   it, and the two leading separators of a share ("\\server\share\x");
// - a text without a leading separator stays relative to the working directory;
// - a trailing separator is kept.
// The empty text maps to the empty path, which names no file.
std::string NativePath(const char* text);

// As NativePath, for a directory: the empty text names the working directory.
std::string NativeDirectory(const char* text);

// Joins a directory text and a name as every path of the system is joined:
// directory + ".\" + name. With or without the directory's trailing separator
// the result names the same file (see NativePath); the text is what records
// and console lines show.
std::string JoinPath(const std::string& directory, const std::string& name);

// Splits a pattern text at its last separator (`\` or `/`). The directory part
// keeps that separator ("\qzt\start\" for "\qzt\start\qz*.job"); it is empty
// when the text has no separator, and then names the working directory.
void SplitPattern(const char* text, std::string* directory, std::string* name);

// The part of a path text that names a drive or a share, as the native path
// keeps it: Windows keeps "c:" and the first "/" of "//server/share"; other
// systems have no drives and drop a drive. Advances *text past what it takes.
// Each back end has its own; NativePath calls it.
std::string NativeRoot(const char** text);

}  // namespace platform

#endif  // QZA_PLATFORM_PATH_H_
