// The watch loop: waits for changes in WatchPath and hands each spool file to
// its handler, in the fixed order alarm, fax job, TTS job, watchdog.
#ifndef QZA_CORE_WATCH_LOOP_H_
#define QZA_CORE_WATCH_LOOP_H_

#include <set>
#include <string>

#include "core/Settings.h"
#include "platform/ChangeNotification.h"
#include "platform/Wildcard.h"

// The operations the loop calls. Each handler receives the full path of one
// file (the loop's buffer, valid for the call only); a null entry does nothing.
struct Handlers {
  void (*alarm)(const char* path);
  void (*fax)(const char* path);
  void (*tts)(const char* path);
  void (*watchdog)(const char* path, char console);
  // Called after each pass while SupervisionActive is set.
  void (*check_consoles)();
};

class WatchLoop {
 public:
  explicit WatchLoop(const Handlers& handlers) : handlers_(handlers) {}
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
  // Runs one pass: one wait, then the time-out path or the change path. Both
  // scan every spool directory, so a file that was busy at its first pass is
  // handled at the next time-out at the latest. While it waits, the loop tells
  // systemd that it is alive (when systemd asks for that) and scans silently
  // at every poll interval, without moving the time-out.
  void RunPass();
  // Runs passes until a stop is requested. A stop ends the scans after the
  // file in hand; files not reached wait for the next start's first pass.
  void Run();

 private:
  enum Kind { kAlarm, kFax, kTts, kWatchdog };

  void ScanAll();
  // Waits WaitForSec seconds in steps of the ping and poll intervals.
  platform::ChangeNotification::WaitResult WaitForChange();
  void CheckConsolesIfActive();
  // Reports a spool entry that the finder passed over, once per name.
  static void ReportRefusal(void* self, const char* directory, const char* name, const char* why);
  // Enumerates `pattern` and hands each match, joined to `directory`, to the
  // handler of `kind`.
  void Scan(Kind kind, const char* pattern, const char* directory);
  // Hands the file to its handler; an exception ends the file, not the loop.
  void Dispatch(Kind kind, const char* name);
  void Handle(Kind kind, const char* name);
  // Forms a pattern from a format setting; false (with a console line) when it
  // is refused or does not fit.
  bool FormPattern(const char* key, const char* format, bool allowed);

  Handlers handlers_;
  bool alarm_pattern_ok_ = true;
  bool watchdog_pattern_ok_ = true;
  platform::ChangeNotification notification_;
  platform::FileFinder finder_;
  char pattern_[kPathSize] = "";
  char path_[kPathSize] = "";
  std::set<std::string> refused_;  // names already reported as passed over
  uint32_t poll_ms_ = 0;           // 0: no polling
  uint32_t ping_ms_ = 0;           // 0: systemd asks for no watchdog
};

#endif  // QZA_CORE_WATCH_LOOP_H_
