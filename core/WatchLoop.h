// The watch loop: waits for changes in WatchPath and hands each spool file to
// its handler, in the fixed order alarm, fax job, TTS job, watchdog.
//
// A pass after a change handles just the names that the notification
// delivered, so its cost does not grow with the directory; the directories
// are listed in full only where names may have been missed: at start-up, at
// every poll, and after the notification lost names. The names of the spool
// files in WatchPath are known from the last listing and the events since
// then, so a time-out offers again the files still there (those left for
// later) without listing; it lists when they are not known. Events that
// cannot matter (names that no pattern matches, the service's own archive
// renames and records, deletions) wake no pass. A kind of spool file whose
// directory is not WatchPath is listed in full at every pass.
#ifndef QZA_CORE_WATCH_LOOP_H_
#define QZA_CORE_WATCH_LOOP_H_

#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/ChangeNotification.h"
#include "platform/Wildcard.h"
#include "settings/Settings.h"
#include "settings/SpoolHandler.h"

namespace qza {

// The handlers of the four kinds of spool file, owned by the caller and
// outliving the loop; a null one leaves its kind unhandled. Each gets the full
// path of a file (the loop's buffer, valid for the call only) and its name;
// after every pass each is told so, and every handler hears of the names that
// appear in WatchPath or leave it.
struct Handlers {
  SpoolHandler* alarm = nullptr;
  SpoolHandler* fax = nullptr;
  SpoolHandler* tts = nullptr;
  SpoolHandler* watchdog = nullptr;
  // Told after every pass, and of nothing else (the metrics file).
  SpoolHandler* observer = nullptr;
};

class WatchLoop {
 public:
  // Keeps a reference to `settings`, which must outlive the loop and stay
  // unchanged while it runs.
  WatchLoop(const Settings& settings, const Handlers& handlers)
      : settings_(settings), handlers_(handlers) {}
  WatchLoop(const WatchLoop&) = delete;
  WatchLoop& operator=(const WatchLoop&) = delete;

  // Checks WatchFiles and WatchDogFiles; a pattern that is not a safe format
  // is refused with a console line naming its key, and that kind of file is
  // then never scanned.
  void CheckPatterns();
  // Creates the change notification on WatchPath. Its failure is not
  // reported: the waits then end as time-outs until it can be created. Decides
  // whether the spool is also scanned every PollSec seconds, and says so when
  // WatchPath lies on a file system whose changes other machines make unseen.
  void Start();
  // Runs the pass that follows start-up: every spool file that arrived while
  // the service was down is handled now, not at the next change. Prints only
  // what the handlers print.
  void FirstPass();
  // Runs one pass: waits for a change that matters, then handles the changed
  // names ("Event"), or lists everything at the time-out ("Timeout"). A file
  // that was busy at its first pass is handled at its next change or the next
  // time-out at the latest. While it waits, the loop tells systemd that it is
  // alive (when systemd asks for that) and lists silently at every poll
  // interval, without moving the time-out.
  void RunPass();
  // Runs passes until a stop is requested. A stop ends the pass after the
  // file in hand; files not reached wait for the next start's first pass.
  void Run();

 private:
  enum Kind { kAlarm, kFax, kTts, kWatchdog, kKinds };

  // One kind of spool file: its pattern split into directory and name.
  struct Spool {
    bool enabled = false;
    std::string directory;     // the pattern's directory text, as joined into paths
    std::string name_pattern;  // the wildcard for names
    std::string join;          // the directory setting the handler's path starts with
    bool in_watch_path = false;
  };

  enum class Outcome { kPass, kTimeout, kStopped };

  // Forms the four spools from the settings.
  void FormSpools();
  // Waits WaitForSec seconds, in steps of the ping and poll intervals, for a
  // change that matters; the names it brings are left in changed_.
  Outcome WaitForChange();
  // Takes the notification's names; true when one of them calls for a pass.
  bool TakeNames();
  // Lists every spool directory once and handles what matches, kind by kind.
  void FullPass();
  // The pass of a time-out: the spool files known to be in WatchPath, or a
  // full pass when they are not known.
  void TimeoutPass();
  // Keeps `name` among the spool files present, while they are known.
  void NotePresent(const std::string& name);
  void ForgetPresent();
  // Handles the names in changed_, kind by kind, and lists the spools that
  // are not in WatchPath.
  void ChangedPass();
  // Tells every handler that a pass is over.
  void AfterPass();
  // The handlers, in the order of their kinds.
  SpoolHandler* HandlerOf(Kind kind) const;
  // Hands `name` of `kind` to its handler when it is a spool file.
  void Offer(Kind kind, const char* name, platform::EntryKind entry);
  // Reports a spool entry that is passed over, once per name.
  void ReportRefusal(const std::string& directory, const char* name, const char* why);
  // Hands the file to its handler; an exception ends the file, not the loop.
  void Dispatch(Kind kind, const char* name);
  // Forms a pattern from a format setting; false (with a console line) when it
  // is refused or does not fit.
  bool FormPattern(const char* key, const char* format, bool allowed);

  const Settings& settings_;
  Handlers handlers_;
  bool alarm_pattern_ok_ = true;
  bool watchdog_pattern_ok_ = true;
  platform::ChangeNotification notification_;
  Spool spools_[kKinds];
  std::string watch_directory_;          // WatchPath, native
  std::vector<std::string> changed_;     // names that call for a pass, in order
  std::unordered_set<std::string> changed_seen_;  // the same names, to drop repeats in O(1)
  bool full_pass_due_ = false;           // names were missed: list everything
  // Names in WatchPath that a spool pattern matches, from the last complete
  // listing and every event since; meaningless unless present_known_.
  static constexpr size_t kMaxPresent = 8192;
  std::set<std::string> present_;
  bool present_known_ = false;
  std::set<std::string> refused_;        // names already reported as passed over
  bool refusals_muted_ = false;          // too many to remember: no more lines
  char pattern_[kPathSize] = "";
  char path_[kPathSize] = "";
  uint32_t poll_ms_ = 0;  // 0: no polling
  uint32_t ping_ms_ = 0;  // 0: systemd asks for no watchdog
};

}  // namespace qza

#endif  // QZA_CORE_WATCH_LOOP_H_
