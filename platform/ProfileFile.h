// The file access of the ini reader and writer, one implementation per
// system; the parsing is the same everywhere (platform/Profile.cc).
#ifndef QZA_PLATFORM_PROFILE_FILE_H_
#define QZA_PLATFORM_PROFILE_FILE_H_

#include <string>

namespace platform {

// Reads the whole file at the native path into `data`. False with errno set
// when it cannot be opened or a read fails: a part of a file is never taken
// for the whole.
bool ReadProfileFile(const std::string& native, std::string* data);

// The file that the native name leads to, through symbolic links where the
// system has them. False with errno set when a link cannot be followed.
bool FollowProfileLinks(std::string native, std::string* target);

// Replaces the file at the native path by `data` through a temporary file
// beside it, flushed before it takes the name, keeping the old file's owner
// and permissions or attributes. False with errno set; the old file is
// untouched then.
bool ReplaceProfileFile(const std::string& native, const std::string& data);

}  // namespace platform

#endif  // QZA_PLATFORM_PROFILE_FILE_H_
