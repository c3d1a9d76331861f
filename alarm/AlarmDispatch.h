// Handling one alarm file from start to end: read, archive name, checksum,
// message file, launch, rename, acknowledgement and log line.
//
// Every valid alarm starts its program once. A launch is recorded only when
// the program started; an alarm whose program could not be started stays in
// the spool and is tried again at later passes. Before each launch the alarm
// and its archive name are written to the launch ledger, and cleared once the
// file is archived, so that after a crash the one alarm that was being
// started is launched again with the same archive name, saying that it may be
// a repeat, and no other alarm ever gets that name.
#ifndef QZA_ALARM_ALARM_DISPATCH_H_
#define QZA_ALARM_ALARM_DISPATCH_H_

#include <memory>

#include "settings/ServiceMetrics.h"
#include "settings/Settings.h"
#include "settings/SpoolHandler.h"

namespace qza {

class LaunchLedger;

// The handler of alarm files. It owns what it knows across alarms (the
// month's archive numbers, the message file made ahead) and shares the launch
// ledger. Keeps a reference to `settings`, which must
// outlive it.
class AlarmHandler : public SpoolHandler {
 public:
  // `ledger` is shared with the other handlers that launch, and must outlive
  // the handler.
  // `metrics`, when given, counts launches, failures and refusals.
  AlarmHandler(const Settings& settings, LaunchLedger& ledger,
               const HandlerClock& clock = HandlerClock::System(),
               ServiceMetrics* metrics = nullptr);
  ~AlarmHandler() override;
  AlarmHandler(const AlarmHandler&) = delete;
  AlarmHandler& operator=(const AlarmHandler&) = delete;

  // Learns the archive numbers of this month from one listing of WatchPath,
  // unless they are known already, so that the first alarm after a start
  // does not wait for it. Call once the start-up pass is over: that pass
  // lists everything and so forgets what was known before it.
  void LearnArchiveNames();

  // Handles the alarm file at `path` (WatchPath joined with the found name).
  // `console` is the console digit of its name (the sixth character minus
  // '0'), which names the acknowledgement file. Reports on the console and in
  // files.
  void ProcessAlarmFile(const char* path, int console);

  // SpoolHandler: the console digit is taken from the name.
  void Handle(const char* path, const char* name) override;
  // What the handler knows of WatchPath's archive names: a name appeared or
  // left, or names may have been missed (the next alarm lists the directory).
  void NameAppeared(const char* name) override;
  void NameLeft(const char* name) override;
  void NamesMissed() override;
  // Prunes the ledger of files that are gone.
  void AfterPass() override;

  struct State;

 private:
  const Settings& settings_;
  const HandlerClock& clock_;
  std::unique_ptr<State> state_;
};

}  // namespace qza

#endif  // QZA_ALARM_ALARM_DISPATCH_H_
