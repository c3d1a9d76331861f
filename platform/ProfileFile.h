// The file access of the ini reader and writer, one implementation per
// platform; the parsing and editing of the text (Profile.cc) is shared.
#ifndef QZA_PLATFORM_PROFILE_FILE_H_
#define QZA_PLATFORM_PROFILE_FILE_H_

#include <string>

namespace platform::profile_file {

// Reads the whole file into `data`. False with errno set when it cannot be
// opened or a read fails, and with EFBIG when it holds more than
// kMaxProfileBytes (see Profile.h): a part of a file is never taken for the
// whole, and no ini file is that large.
bool ReadNative(const std::string& native, std::string* data);

// The file that the name leads to through symbolic links (the name itself
// when it is none), so that writing back replaces the link's target and keeps
// the link. False with errno set.
bool FollowLinks(std::string native, std::string* target);

// Replaces the file by `data` through a new file beside it, keeping its
// permissions, owner and group. False with errno set; the old file is intact.
bool ReplaceWithData(const std::string& native, const std::string& data);

}  // namespace platform::profile_file

#endif  // QZA_PLATFORM_PROFILE_FILE_H_
