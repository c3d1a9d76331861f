// The file access of the ini reader and writer, one implementation per
// platform; the parsing and editing of the text (Profile.cc) is shared.
#ifndef QZA_PLATFORM_PROFILE_FILE_H_
#define QZA_PLATFORM_PROFILE_FILE_H_

#include <string>

#include "platform/Status.h"

namespace platform::backend {

// The whole file. A failure when it cannot be opened or a read fails, and
// EFBIG when it holds more than kMaxProfileBytes (see Profile.h): a part of a
// file is never taken for the whole, and no ini file is that large.
Result<std::string> ReadProfileData(const std::string& native);

// The file that the name leads to through symbolic links (the name itself
// when it is none), so that writing back replaces the link's target and keeps
// the link.
Result<std::string> FollowLinks(std::string native);

// Replaces the file by `data` through a new file beside it, keeping its
// permissions, owner and group. After a failure the old file is intact.
Status ReplaceWithData(const std::string& native, const std::string& data);

}  // namespace platform::backend

#endif  // QZA_PLATFORM_PROFILE_FILE_H_
