// What both back ends' change notifications share: the fault checks and path
// texts of Create and Renew, and the watched directory that goes away, which
// is looked for until it can be watched again.
#include "platform/ChangeNotification.h"

#include <string>

#include "platform/Console.h"
#include "platform/Fault.h"
#include "platform/Path.h"

namespace platform {

Status ChangeNotification::Create(const char* directory) {
  Close();
  if (directory != nullptr) directory_ = directory;
  if (const Status fault = FaultStatus(FaultPoint::kNotify, "watch", directory); !fault) {
    return fault;
  }
  return CreateWatch(NativeDirectory(directory));
}

Status ChangeNotification::Renew(const char* directory) {
  const bool was_lost = lost_;
  const bool had_watch = Watching() || was_lost;
  const int64_t next_look = next_look_ms_;
  Status status = FaultStatus(FaultPoint::kNotify, "watch", directory);
  if (!status.ok()) {
    Close();  // nothing can be watched there now: the old watch ends too
    names_missed_ = true;
  } else {
    status = RenewWatch(NativeDirectory(directory));  // may close, which ends lost_
  }
  if (directory != nullptr) directory_ = directory;
  if (status.ok()) {
    lost_ = false;
    if (was_lost) Print(kBackFormat, directory_.c_str());
  } else if (was_lost) {
    lost_ = true;  // still missing: the next look stays when it was due
    names_missed_ = true;
    next_look_ms_ = next_look;
  } else if (had_watch) {
    Lost();
  }
  return status;
}

void ChangeNotification::Lost() {
  lost_ = true;
  names_missed_ = true;
  next_look_ms_ = 0;  // at once
}

bool ChangeNotification::LookAgainIfDue(int64_t now) {
  if (!lost_ || now < next_look_ms_) return false;
  next_look_ms_ = now + kLookAgainMilliseconds;
  return Renew(directory_.c_str()).ok();
}

int64_t ChangeNotification::UntilNextLook(int64_t now, int64_t left) const {
  if (!lost_) return left;
  const int64_t until = next_look_ms_ > now ? next_look_ms_ - now : 0;
  return until < left ? until : left;
}

}  // namespace platform
