// Change notification on one directory (inotify; ReadDirectoryChangesW on Windows).
//
// A file closed after writing, a file moved in, a change of a file's status
// (modification time, attributes) and a queue overflow count as a change;
// reads, opens and deletions do not, so the service never wakes itself by
// reading the files it scans. Subdirectories are not watched.
//
// Besides waking the waits, the notification keeps the names that the events
// carry, in their order: names that appeared or changed (created, written,
// moved in, status changed) and names that left (deleted, moved away). The
// caller takes them after each wait, so that it can handle just those names
// instead of listing the directory. When names may have been missed (the
// kernel's queue overflowed, too many names piled up, or the watch was lost),
// NamesMissed says so and the caller must list the directory in full.
//
// A watched directory that goes away (removed, moved away, replaced at its
// path) is watched again at once when a directory stands at the path; while
// none does, the waits look for it every kLookAgainMilliseconds, and one line
// on the console says when it is watched again. Either way the wait that
// watches it again reports a change with names missed, so that the caller
// lists the directory (one put in place with files in it raises no event for
// them). A directory that was never watched is looked for only at renewals.
#ifndef QZA_PLATFORM_CHANGE_NOTIFICATION_H_
#define QZA_PLATFORM_CHANGE_NOTIFICATION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Status.h"

namespace platform {

class ChangeNotification {
 public:
  enum WaitResult { kChanged, kTimeout, kStopped };

  // How often a watched directory that went away is looked for.
  static constexpr uint32_t kLookAgainMilliseconds = 1000;
  // The console line once it is watched again (with the path text).
  static constexpr char kBackFormat[] = "%s is back: watching it again\n";

  struct NameEvent {
    std::string name;  // in the watched directory, as the file system spells it
    bool removed;      // deleted or moved away; else it appeared or changed
  };

  ChangeNotification() = default;
  ~ChangeNotification();
  ChangeNotification(const ChangeNotification&) = delete;
  ChangeNotification& operator=(const ChangeNotification&) = delete;

  // Starts watching the directory named by the path text. A failure when it
  // cannot be watched (missing, not a directory, unreadable, or a fault armed
  // at FaultPoint::kNotify for the path text); every wait then lasts its full
  // time and ends as a time-out.
  Status Create(const char* directory);
  // Stops watching. Safe to call when nothing is watched.
  void Close();
  // Watches the directory named by the path text anew, as after a time-out:
  // whatever directory stands there now is the one watched from here on (one
  // that was removed, replaced or missing before is picked up). A change
  // caught since the last wait still makes the next wait return at once, so
  // no change falls between the two. A failure, as from Create, when nothing
  // can be watched there; when a directory was watched until then, the waits
  // look for it from now on.
  Status Renew(const char* directory);
  // Waits up to `milliseconds` (the unsigned product of the Windows wait,
  // clamped to what poll accepts) for a change. Pending events are drained
  // before it returns kChanged, so events that arrive later stay queued and
  // end the next wait at once. When the watched directory is removed or moved
  // away it is watched again at once, or looked for while the wait lasts (see
  // above); a wait that finds it again reports kChanged, else the wait goes
  // on to its end and reports a time-out. Returns kStopped
  // as soon as a stop is requested (see Startup.h), also when the request came
  // before the wait, with or without a watch; pending events then stay queued.
  WaitResult Wait(uint32_t milliseconds);
  bool Watching() const { return watch_ != nullptr && watching_; }

  // Hands out the names gathered since the last call, oldest first, and
  // whether names may have been missed since then; both are reset.
  std::vector<NameEvent> TakeNames(bool* missed);

 private:
  // Reads every queued event of the watch into names_. Returns true when one
  // of them is a change; sets *gone when the watched directory went away.
  bool Drain(bool* gone);
  // Drains the watch; true when an event is a change. A watched directory
  // that went away ends the watching.
  bool DrainWatch();
  void Keep(const char* name, bool removed);
  // The back end's part, after the front's fault check: Create's and Renew's
  // work on the native path of the directory.
  Status CreateWatch(const std::string& native);
  Status RenewWatch(const std::string& native);
  // Notes that the watch went away: the directory is looked for at once.
  void Lost();
  // Tries to watch the lost directory again when a look is due at `now`
  // (monotonic milliseconds); true when it is watched again.
  bool LookAgainIfDue(int64_t now);
  // Milliseconds from `now` to the next look for a lost directory, at most
  // `left`.
  int64_t UntilNextLook(int64_t now, int64_t left) const;

  std::string directory_;  // the path text last watched
  bool lost_ = false;      // the watched directory went away: looked for
  int64_t next_look_ms_ = 0;  // monotonic time of the next look

  // Ends the watch of a directory that went away: the waits look for it.
  void ForgetGoneWatch();

  std::vector<NameEvent> names_;
  bool names_missed_ = true;  // nothing is known before the first listing
  bool watching_ = false;
  bool pending_change_ = false;  // caught by a renewed watch's predecessor
  // The system's watch, defined by each back end (an inotify descriptor and
  // its watch; an overlapped directory read that keeps the names it saw).
  // Owned; null while none is held.
  struct Watch;
  Watch* watch_ = nullptr;
};

}  // namespace platform

#endif  // QZA_PLATFORM_CHANGE_NOTIFICATION_H_
