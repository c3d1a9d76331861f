#include "platform/ChangeNotification.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <new>
#include <string>

#include "platform/Startup.h"

namespace platform {

// The inotify descriptor and the watch of the directory on it (-1: none).
struct ChangeNotification::Watch {
  int fd = -1;
  int wd = -1;
};

namespace {

constexpr uint32_t kChangeMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB;
constexpr uint32_t kRemovedMask = IN_DELETE | IN_MOVED_FROM;
constexpr uint32_t kNameMask = kChangeMask | kRemovedMask | IN_CREATE;
// Names kept between two takes; beyond this the caller lists the directory.
constexpr size_t kMaxNames = 8192;
constexpr uint32_t kGoneMask = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;
constexpr uint32_t kWatchMask = kNameMask | IN_ONLYDIR | IN_DELETE_SELF | IN_MOVE_SELF;

int64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Empties the stop descriptor when it is readable without a stop request (a
// request that was withdrawn), so the wait does not spin on it.
void ForgetStaleStopWakeUp() {
  uint64_t count;
  if (read(StopDescriptor(), &count, sizeof count) < 0) {
    // EAGAIN: already empty.
  }
}

}  // namespace

void ChangeNotification::Keep(const char* name, bool removed) {
  if (names_missed_) return;  // the caller lists everything anyway
  if (names_.size() >= kMaxNames) {
    names_.clear();
    names_missed_ = true;
    return;
  }
  names_.push_back({name, removed});
}

bool ChangeNotification::Drain(bool* gone) {
  // Room for many events, and at least one with the longest name.
  alignas(struct inotify_event) char buffer[16 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
  bool changed = false;
  for (;;) {
    ssize_t n = read(watch_->fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EAGAIN: the queue is empty
    for (char* p = buffer; p < buffer + n;) {
      auto* event = reinterpret_cast<struct inotify_event*>(p);
      p += sizeof(struct inotify_event) + event->len;
      // Events of a directory watched before a renewal found another one at
      // the path: its names and its end are no longer this watch's.
      if (event->wd != watch_->wd && (event->mask & IN_Q_OVERFLOW) == 0) continue;
      if (event->mask & (kChangeMask | IN_Q_OVERFLOW)) changed = true;
      if (event->mask & kGoneMask) *gone = true;
      if (event->mask & IN_Q_OVERFLOW) {
        names_.clear();
        names_missed_ = true;
      } else if (event->len > 0 && (event->mask & kNameMask) != 0) {
        Keep(event->name, (event->mask & kRemovedMask) != 0);
      }
    }
  }
  if (*gone) names_missed_ = true;
  return changed;
}

std::vector<ChangeNotification::NameEvent> ChangeNotification::TakeNames(bool* missed) {
  *missed = names_missed_ || !Watching();
  names_missed_ = !Watching();
  std::vector<NameEvent> taken;
  taken.swap(names_);
  return taken;
}

ChangeNotification::~ChangeNotification() { Close(); }

Status ChangeNotification::CreateWatch(const std::string& native) {
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) return backend::LastFailure("watch");
  watch_ = new (std::nothrow) Watch{fd, -1};
  if (watch_ == nullptr) {
    close(fd);  // never used
    return Status::Failure("watch", ENOMEM);
  }
  watch_->wd = inotify_add_watch(fd, native.c_str(), kWatchMask);
  watching_ = watch_->wd >= 0;
  if (watching_) return Status();
  names_missed_ = true;
  return backend::LastFailure("watch");
}

void ChangeNotification::Close() {
  if (watch_ != nullptr) {
    close(watch_->fd);  // close of an inotify descriptor cannot lose data
    delete watch_;
    watch_ = nullptr;
  }
  watching_ = false;
  lost_ = false;
}

Status ChangeNotification::RenewWatch(const std::string& native) {
  if (watch_ == nullptr) {
    Close();
    return CreateWatch(native);
  }
  // The same inotify descriptor stays: what it queued since the last wait
  // stays queued and ends the next wait at once. (A new descriptor for each
  // renewal costs a teardown of the old one, which stalls this thread for a
  // grace period of the kernel at every time-out.) Watching the path again
  // gives the same watch while the same directory stands there, and a new
  // one when the directory was replaced or has come back.
  const int wd = inotify_add_watch(watch_->fd, native.c_str(), kWatchMask);
  if (wd >= 0 && wd == watch_->wd) {
    watching_ = true;
    return Status();
  }
  const Status status = wd >= 0 ? Status() : backend::LastFailure("watch");
  // The removal fails when the kernel has ended the watch already.
  if (watch_->wd >= 0) inotify_rm_watch(watch_->fd, watch_->wd);
  watch_->wd = wd;
  watching_ = wd >= 0;
  names_missed_ = true;  // another directory, or none: what was known of the names is void
  return status;
}

namespace {

// What one poll of the stop descriptor and the watch gave.
enum class PollOutcome { kStop, kInterrupted, kFailed, kQuiet, kReadable };

// The poll timeout for what is left of a wait: never negative, at most
// INT_MAX (a longer wait polls again).
int PollTimeout(int64_t left) {
  if (left < 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Polls the stop descriptor and `watch_fd` (-1: no watch, only a stop can end
// the poll early) for up to `left` milliseconds.
PollOutcome PollOnce(int watch_fd, int64_t left) {
  struct pollfd fds[2] = {{StopDescriptor(), POLLIN, 0}, {watch_fd, POLLIN, 0}};
  const int ready = poll(fds, 2, PollTimeout(left));
  if (StopRequested()) return PollOutcome::kStop;
  if (ready < 0) return errno == EINTR ? PollOutcome::kInterrupted : PollOutcome::kFailed;
  if (fds[0].revents != 0) ForgetStaleStopWakeUp();
  return ready == 0 || fds[1].revents == 0 ? PollOutcome::kQuiet : PollOutcome::kReadable;
}

}  // namespace

bool ChangeNotification::DrainWatch() {
  bool gone = false;
  const bool changed = Drain(&gone);
  if (gone) ForgetGoneWatch();
  return changed;
}

// The inotify descriptor stays for the renewals; only the watch has ended.
void ChangeNotification::ForgetGoneWatch() {
  watching_ = false;
  Lost();
}

ChangeNotification::WaitResult ChangeNotification::Wait(uint32_t milliseconds) {
  if (StopRequested()) return kStopped;
  const int64_t deadline = MonotonicMs() + milliseconds;
  for (;;) {
    // A directory that went away and stands at its path again is listed in
    // full by the caller (TakeNames reports names missed).
    if (LookAgainIfDue(MonotonicMs())) return kChanged;
    const int64_t now = MonotonicMs();
    const int64_t left = deadline - now;
    switch (PollOnce(Watching() ? watch_->fd : -1, UntilNextLook(now, left))) {
      case PollOutcome::kStop:
        return kStopped;
      case PollOutcome::kInterrupted:
        break;
      case PollOutcome::kFailed:
        return kChanged;  // a failed wait counts as a change
      case PollOutcome::kQuiet:
        if (MonotonicMs() >= deadline) return kTimeout;  // else a clamped long wait
        break;
      case PollOutcome::kReadable:
        if (DrainWatch()) return kChanged;
        if (LookAgainIfDue(MonotonicMs())) return kChanged;
        if (left <= 0) return kTimeout;
        break;
    }
  }
}

}  // namespace platform
