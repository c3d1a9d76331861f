// What the configuration check asks of the file system: whether a directory
// can serve the service, who else may write a file, and as whom it runs.
#ifndef QZA_PLATFORM_ACCESS_H_
#define QZA_PLATFORM_ACCESS_H_

#include <string>

#include "platform/Status.h"

namespace platform {

// Why the directory named by the path text cannot serve a process that reads
// it (`write` false) or also creates, renames and deletes files in it (`write`
// true), as this process's user: success when it can; a failure with ENOENT
// when it is missing, ENOTDIR when it is no directory, EACCES when
// permissions forbid it (a directory without any write permission bit is
// read-only even for root), or the error of the status query. The empty text
// names the working directory.
Status DirectoryProblem(const char* path, bool write);

// Who besides this process's user, its group and root may write, or change
// the permissions of, the file or directory named by the path text: "every
// user", "the group NAME" or "the user NAME" (its owner); empty when nobody
// else may, when it does not exist, or where the system does not tell
// (Windows: access control lists are not examined).
std::string OtherWriters(const char* path);

// The name of the user this process runs as ("uid N" without a name).
std::string ProcessUserName();

// True when the process runs with the rights of root (effective user id 0).
// Windows: always false; there the rights come from the service account.
bool RunsAsRoot();

// Makes the directory named by the path text the working directory.
Status ChangeWorkingDirectory(const char* path);

// True when the path text names its file from the root (or from a drive or
// share on Windows), whatever the working directory.
bool IsAbsolutePathText(const char* text);

// The back end's part, one per system: the calls above on the native path
// of the directory, which the front (platform/Access.cc) converts once.
namespace backend {
Status DirectoryProblemOf(const std::string& native, bool write);
std::string OtherWritersOf(const std::string& native);
Status ChangeWorkingDirectoryTo(const std::string& native);
}  // namespace backend

}  // namespace platform

#endif  // QZA_PLATFORM_ACCESS_H_
