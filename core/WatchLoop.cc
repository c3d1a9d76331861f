#include "core/WatchLoop.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "core/Pattern.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/FileSystem.h"
#include "platform/FileSystemKind.h"
#include "platform/Path.h"
#include "platform/Startup.h"
#include "platform/SystemdNotify.h"
#include "support/Printable.h"

namespace qza {

namespace {

// Checks a format pattern; a refused one is named on the console.
bool AcceptPattern(const char* key, const char* pattern, const char* kind) {
  if (IsServerNumberFormat(pattern)) return true;
  platform::Print(
      "Pathnames/%s=%s is refused: only %%%% and one %%i or %%d may stand in it; "
      "%s files are not scanned\n",
      key, pattern, kind);
  return false;
}

// True when both path texts name the same existing directory.
bool SameDirectory(const std::string& a, const std::string& b) {
  platform::FileStatus first;
  platform::FileStatus second;
  const std::string native_a = platform::NativeDirectory(a.c_str());
  const std::string native_b = platform::NativeDirectory(b.c_str());
  if (native_a == native_b) return true;
  return platform::StatPath(native_a.c_str(), &first).ok() &&
         platform::StatPath(native_b.c_str(), &second).ok() && first.dev == second.dev &&
         first.ino == second.ino;
}

}  // namespace

void WatchLoop::CheckPatterns() {
  alarm_pattern_ok_ = AcceptPattern("WatchFiles", settings_.WatchFiles, "alarm");
  watchdog_pattern_ok_ = AcceptPattern("WatchDogFiles", settings_.WatchDogFiles, "watchdog");
}

bool WatchLoop::FormPattern(const char* key, const char* format, bool allowed) {
  if (!allowed) return false;
  if (FormatServerPattern(format, settings_.Number, pattern_, sizeof pattern_)) return true;
  platform::Print("Pathnames/%s gives a pattern longer than 127 characters; not scanned\r\n", key);
  return false;
}

void WatchLoop::FormSpools() {
  const Settings& s = settings_;
  struct {
    Kind kind;
    const char* key;
    const char* pattern;
    bool format;  // the pattern takes the server number
    bool allowed;
    const char* join;
  } const rows[] = {
      {kAlarm, "WatchFiles", s.WatchFiles, true, alarm_pattern_ok_, s.WatchPath},
      {kFax, "WatchJobFiles", s.WatchJobFiles, false, true, s.JobPath},
      {kTts, "WatchTtsFiles", s.WatchTtsFiles, false, true, s.TtsPath},
      {kWatchdog, "WatchDogFiles", s.WatchDogFiles, true, watchdog_pattern_ok_, s.WatchPath},
  };
  for (const auto& row : rows) {
    Spool& spool = spools_[row.kind];
    spool = Spool();
    if (row.format) {
      if (!FormPattern(row.key, row.pattern, row.allowed)) continue;
    } else {
      std::snprintf(pattern_, sizeof pattern_, "%s", row.pattern);
    }
    platform::SplitPattern(pattern_, &spool.directory, &spool.name_pattern);
    spool.enabled = !spool.name_pattern.empty();
    spool.join = row.join;
    spool.in_watch_path = SameDirectory(spool.directory, s.WatchPath);
  }
}

void WatchLoop::Start() {
  constexpr int kRemotePollSec = 5;
  FormSpools();
  // A WatchPath that cannot be watched makes every wait a time-out, whose
  // full listing finds what arrives; each time-out tries to watch it again.
  (void)notification_.Create(settings_.WatchPath);
  ping_ms_ = platform::WatchdogPingMs();
  const int poll = settings_.PollSec;
  const char* remote = platform::RemoteFileSystemOf(settings_.WatchPath);
  const int seconds = poll > 0 ? poll : (poll < 0 && remote != nullptr ? kRemotePollSec : 0);
  poll_ms_ = static_cast<uint32_t>(seconds > 4000000 ? 4000000 : seconds) * 1000u;
  if (remote == nullptr) return;
  if (poll_ms_ > 0) {
    platform::Print("%s is on a %s file system: changes made by other machines are not notified; "
                    "it is scanned every %d seconds\n",
                    settings_.WatchPath, remote, seconds);
  } else {
    platform::Print("%s is on a %s file system: changes made by other machines are not notified "
                    "and Server/PollSec=0 turns scanning off\n",
                    settings_.WatchPath, remote);
  }
}

SpoolHandler* WatchLoop::HandlerOf(Kind kind) const {
  switch (kind) {
    case kAlarm:
      return handlers_.alarm;
    case kFax:
      return handlers_.fax;
    case kTts:
      return handlers_.tts;
    case kWatchdog:
      return handlers_.watchdog;
    case kKinds:
      break;
  }
  return nullptr;
}

void WatchLoop::AfterPass() {
  for (int kind = 0; kind < kKinds; ++kind) {
    if (SpoolHandler* handler = HandlerOf(static_cast<Kind>(kind))) handler->AfterPass();
  }
  if (handlers_.observer != nullptr) handlers_.observer->AfterPass();
}

void WatchLoop::FirstPass() {
  FullPass();
  AfterPass();
}

bool WatchLoop::TakeNames() {
  bool missed = false;
  const std::vector<platform::ChangeNotification::NameEvent> events =
      notification_.TakeNames(&missed);
  if (missed) {
    ForgetPresent();
    for (int kind = 0; kind < kKinds; ++kind) {
      if (SpoolHandler* handler = HandlerOf(static_cast<Kind>(kind))) handler->NamesMissed();
    }
  }
  bool pass = missed;
  for (const auto& event : events) {
    const char* name = event.name.c_str();
    if (event.removed) {
      for (int kind = 0; kind < kKinds; ++kind) {
        if (SpoolHandler* handler = HandlerOf(static_cast<Kind>(kind))) handler->NameLeft(name);
      }
      present_.erase(event.name);
      continue;
    }
    for (int kind = 0; kind < kKinds; ++kind) {
      if (SpoolHandler* handler = HandlerOf(static_cast<Kind>(kind))) handler->NameAppeared(name);
    }
    for (const Spool& spool : spools_) {
      if (!spool.enabled || !spool.in_watch_path ||
          !platform::WildcardMatch(spool.name_pattern.c_str(), name)) {
        continue;
      }
      if (changed_seen_.insert(event.name).second) changed_.push_back(event.name);
      NotePresent(event.name);
      pass = true;
      break;
    }
  }
  if (missed) {  // the pass lists everything
    changed_.clear();
    changed_seen_.clear();
  }
  full_pass_due_ = full_pass_due_ || missed;
  return pass;
}

WatchLoop::Outcome WatchLoop::WaitForChange() {
  using platform::ChangeNotification;
  // The unsigned product of the Windows wait.
  const uint32_t total = static_cast<uint32_t>(settings_.WaitForSec) * 1000u;
  const int64_t deadline = platform::MonotonicMilliseconds() + total;
  uint32_t step = 0;
  for (uint32_t interval : {ping_ms_, poll_ms_}) {
    if (interval > 0 && (step == 0 || interval < step)) step = interval;
  }
  bool spool_elsewhere = false;
  for (const Spool& spool : spools_) spool_elsewhere |= spool.enabled && !spool.in_watch_path;
  int64_t next_poll = platform::MonotonicMilliseconds() + poll_ms_;
  for (;;) {
    if (ping_ms_ > 0) platform::NotifyWatchdog();
    const int64_t now = platform::MonotonicMilliseconds();
    int64_t chunk = std::max<int64_t>(deadline - now, 0);
    if (step > 0) chunk = std::min<int64_t>(chunk, step);
    const ChangeNotification::WaitResult result =
        notification_.Wait(static_cast<uint32_t>(chunk));
    if (result == ChangeNotification::kStopped) return Outcome::kStopped;
    if (result == ChangeNotification::kChanged) {
      // Names that no pattern matches, and deletions, call for no pass; a
      // spool outside WatchPath is listed at every change, as it cannot be
      // told otherwise.
      if (TakeNames() || spool_elsewhere) return Outcome::kPass;
      continue;
    }
    const int64_t after = platform::MonotonicMilliseconds();
    if (after >= deadline) return Outcome::kTimeout;
    if (poll_ms_ > 0 && after >= next_poll) {
      next_poll = after + poll_ms_;
      FullPass();  // prints only what the handlers print
      AfterPass();
    }
  }
}

void WatchLoop::RunPass() {
  const Outcome outcome = WaitForChange();
  if (outcome == Outcome::kStopped) return;
  // The pass's first line waits for the account of its first file, so that
  // the writer is woken once for both, after the launch rather than before.
  platform::HoldConsole();
  if (outcome == Outcome::kTimeout) {
    platform::Print("Timeout\n");
    (void)notification_.Renew(settings_.WatchPath);  // as at the start: time-outs find the files
    TimeoutPass();
  } else {
    platform::Print("Event\n");
    if (full_pass_due_) {
      FullPass();
    } else {
      ChangedPass();
    }
  }
  AfterPass();
  platform::ReleaseConsole();
}

void WatchLoop::Run() {
  while (!platform::StopRequested()) RunPass();
}

void WatchLoop::NotePresent(const std::string& name) {
  if (!present_known_) return;
  if (present_.size() >= kMaxPresent && present_.count(name) == 0) {
    ForgetPresent();  // too many to remember: time-outs list the directory
    return;
  }
  present_.insert(name);
}

void WatchLoop::ForgetPresent() {
  present_.clear();
  present_known_ = false;
}

void WatchLoop::TimeoutPass() {
  // Names gathered before the renewal; a lost or replaced watch counts as
  // missed names, which forget what was known.
  TakeNames();
  if (full_pass_due_ || !present_known_) {
    FullPass();
    return;
  }
  // Every spool file in WatchPath is known by name: the ones still there are
  // offered again (those left for later), without listing a directory that
  // holds every archive ever made.
  changed_.assign(present_.begin(), present_.end());
  ChangedPass();
}

void WatchLoop::FullPass() {
  TakeNames();  // what the events told is covered by the listing
  changed_.clear();
  changed_seen_.clear();
  full_pass_due_ = false;
  ForgetPresent();
  bool watch_path_listed = true;
  // Each directory is read once; its names are matched against every kind
  // whose pattern lists it, and then handled kind by kind.
  std::vector<std::pair<std::string, platform::EntryKind>> found[kKinds];
  bool listed[kKinds] = {};
  for (int first = 0; first < kKinds; ++first) {
    if (!spools_[first].enabled || listed[first]) continue;
    std::vector<int> sharing;
    for (int kind = first; kind < kKinds; ++kind) {
      if (spools_[kind].enabled && !listed[kind] &&
          SameDirectory(spools_[kind].directory, spools_[first].directory)) {
        sharing.push_back(kind);
        listed[kind] = true;
      }
    }
    const bool listed_all =
        platform::ListNames(spools_[first].directory.c_str(), [&](const char* name,
                                                                  platform::EntryKind entry) {
          for (int kind : sharing) {
            if (platform::WildcardMatch(spools_[kind].name_pattern.c_str(), name)) {
              found[kind].emplace_back(name, entry);
            }
          }
        }).ok();
    if (spools_[first].in_watch_path && !listed_all) watch_path_listed = false;
  }
  // What the listing found in WatchPath, kept up to date by the events.
  present_known_ = watch_path_listed && notification_.Watching();
  for (int kind = 0; kind < kKinds && present_known_; ++kind) {
    if (!spools_[kind].in_watch_path) continue;
    for (const auto& found_entry : found[kind]) NotePresent(found_entry.first);
  }
  for (int kind = 0; kind < kKinds; ++kind) {
    for (const auto& [name, entry] : found[kind]) {
      if (platform::StopRequested()) return;  // the file in hand is done
      Offer(static_cast<Kind>(kind), name.c_str(), entry);
    }
  }
}

void WatchLoop::ChangedPass() {
  std::vector<std::string> names;
  names.swap(changed_);
  changed_seen_.clear();
  for (int kind = 0; kind < kKinds; ++kind) {
    const Spool& spool = spools_[kind];
    if (!spool.enabled) continue;
    if (spool.in_watch_path) {
      for (const std::string& name : names) {
        if (platform::StopRequested()) return;
        if (platform::WildcardMatch(spool.name_pattern.c_str(), name.c_str())) {
          Offer(static_cast<Kind>(kind), name.c_str(), platform::EntryKind::kUnknown);
        }
      }
      continue;
    }
    std::vector<std::pair<std::string, platform::EntryKind>> found;
    // A listing cut short offers what it found; the next time-out lists again.
    (void)platform::ListNames(spool.directory.c_str(),
                              [&](const char* name, platform::EntryKind entry) {
                                if (platform::WildcardMatch(spool.name_pattern.c_str(), name)) {
                                  found.emplace_back(name, entry);
                                }
                              });
    for (const auto& [name, entry] : found) {
      if (platform::StopRequested()) return;
      Offer(static_cast<Kind>(kind), name.c_str(), entry);
    }
  }
}

void WatchLoop::Offer(Kind kind, const char* name, platform::EntryKind entry) {
  const Spool& spool = spools_[kind];
  bool silent = false;
  if (const char* why = platform::SpoolEntryRefusal(spool.directory.c_str(), name, entry, &silent)) {
    if (!silent) ReportRefusal(spool.directory, name, why);
    return;
  }
  const std::string path = platform::JoinPath(spool.join, name);
  if (path.size() >= sizeof path_) {
    platform::PrintWarning("Path longer than 127 characters, file skipped: %s\r\n",
                           Printable(path.c_str()).c_str());
    return;
  }
  std::memcpy(path_, path.c_str(), path.size() + 1);
  Dispatch(kind, name);
}

void WatchLoop::ReportRefusal(const std::string& directory, const char* name, const char* why) {
  // A flood of bad names costs bounded memory, and the account says once that
  // it stops naming them, rather than naming them all again at every pass.
  constexpr size_t kRemembered = 65536;
  std::string key = directory + '\0' + name;
  if (refused_.count(key) != 0) return;
  if (refused_.size() >= kRemembered) {
    if (!refusals_muted_) {
      platform::PrintWarning("More than %zu spool entries were passed over: further ones are "
                             "passed over without a line\r\n",
                             kRemembered);
    }
    refusals_muted_ = true;
    return;
  }
  refused_.insert(std::move(key));
  platform::PrintWarning("Spool entry '%s%s' passed over: %s\r\n",
                         Printable(directory.c_str()).c_str(), Printable(name).c_str(), why);
}

void WatchLoop::Dispatch(Kind kind, const char* name) {
  SpoolHandler* handler = HandlerOf(kind);
  if (handler == nullptr) return;
  // A handler that runs out of memory or meets another failure it cannot
  // handle gives up this file, never the service: the file is met again at a
  // later pass. The account of a file goes to the writer in one hand-over (a
  // speech job is only handed to its lane here, which tells its own account).
  struct Hold {
    Hold() { platform::HoldConsole(); }
    ~Hold() { platform::ReleaseConsole(); }
  } hold;
  try {
    handler->Handle(path_, name);
  } catch (const std::exception& error) {
    platform::Print("ERROR: '%s' could not be handled: %s\r\n", path_, error.what());
  } catch (...) {
    platform::Print("ERROR: '%s' could not be handled\r\n", path_);
  }
}

}  // namespace qza
