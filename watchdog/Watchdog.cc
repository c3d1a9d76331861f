#include "watchdog/Watchdog.h"

#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"
#include "support/Launch.h"

namespace qza {

namespace {

// True when the warning program started; a failure is printed.
bool LaunchWarning(const char* command_line) { return LaunchDetached(command_line) == 0; }

// What a suspend thread needs; it owns its share of the supervision.
struct Suspension {
  std::shared_ptr<Supervision> supervision;
  void (*sleep)(uint32_t milliseconds);
  int seconds;
};

// The body of the suspend thread: says so, sleeps, and lets supervision go on.
void SuspendThread(void* argument) {
  std::unique_ptr<Suspension> suspension(static_cast<Suspension*>(argument));
  platform::Print("suspend for %d seconds\n", suspension->seconds);
  suspension->sleep(static_cast<uint32_t>(suspension->seconds) * 1000u);
  suspension->supervision->SupervisionActive = 1;
}

}  // namespace

int ParseConsoleList(const char* text, int flags[kConsoleCount]) {
  int set = 0;
  std::string copy = text;
  char* rest = nullptr;
  for (char* token = strtok_r(copy.data(), " ,", &rest); token != nullptr;
       token = strtok_r(nullptr, " ,", &rest)) {
    int value = std::atoi(token);
    if (value >= 1 && value <= 9) {
      flags[value] = 1;
      ++set;
    }
  }
  return set;
}

WatchdogHandler::WatchdogHandler(const Settings& settings, const HandlerClock& clock)
    : settings_(settings), clock_(clock), supervision_(std::make_shared<Supervision>()) {
  Supervision& sv = *supervision_;
  const int need_one = ParseConsoleList(settings.NeedOneConsOf, sv.NeedOneConsole);
  const int need_all = ParseConsoleList(settings.NeedAllConsOf, sv.NeedAllConsole);
  if (need_one > 0 || need_all > 0) sv.SupervisionActive = 1;
  const int64_t now = clock_.monotonic_seconds();
  for (int64_t& seen : sv.ConsoleLastSeen) seen = now;
}

void WatchdogHandler::RecordSignOfLife(char console) {
  if (console >= '0' && console <= '9') {
    supervision_->ConsoleLastSeen[console - '0'] = clock_.monotonic_seconds();
  }
}

bool WatchdogHandler::CountedBefore(const char* path) {
  platform::FileIdentity identity;
  return platform::IdentityOfPath(path, &identity) && !undeletable_.insert(identity).second;
}

// Supervision is switched off by the check that warned, before the thread
// starts, so that no check can run in between and warn twice.
void WatchdogHandler::StartSuspension(int seconds) {
  supervision_->SupervisionActive = 0;
  auto* suspension = new Suspension{supervision_, clock_.sleep, seconds};
  if (!platform::StartDetachedThread(&SuspendThread, suspension)) {
    delete suspension;
    supervision_->SupervisionActive = 1;  // no pause: the next check may warn again
  }
}

// Seconds since the console was last heard of, as a signed 32-bit difference.
int32_t WatchdogHandler::Age(int64_t now, int console) const {
  return static_cast<int32_t>(now - supervision_->ConsoleLastSeen[console]);
}

void WatchdogHandler::Handle(const char* path, const char* name) {
  ClearWatchdogFile(path, std::strlen(name) > 5 ? name[5] : '\0');
}

void WatchdogHandler::AfterPass() {
  if (supervision_->SupervisionActive.load()) CheckConsoles();
}

void WatchdogHandler::ClearWatchdogFile(const char* path, char console) {
  const platform::Status removed = platform::RemoveFile(path);
  if (removed.ok()) {
    const struct tm time = platform::LocalTime(clock_.now());
    platform::Print("%02d:%02d %02d:%02d:%02d Watchdog event (from console %c) cleared\n",
                    time.tm_mday, time.tm_mon + 1, time.tm_hour, time.tm_min, time.tm_sec,
                    console);
    RecordSignOfLife(console);
    return;
  }
  if (CountedBefore(path)) return;  // reported and counted at its first pass
  platform::Print("Failed to delete watchdog file %s", path);
  platform::PrintError("qza_wdir: watchdog file %s cannot be deleted: %s\n", path,
                       removed.reason());
  RecordSignOfLife(console);
}

void WatchdogHandler::CheckConsoles() {
  const Supervision& sv = *supervision_;
  const Settings& settings = settings_;
  const int64_t now = clock_.monotonic_seconds();
  int warnings = 0;
  int launches = 0;
  for (int i = 0; i < kConsoleCount; ++i) {
    if (sv.NeedAllConsole[i] && Age(now, i) > settings.WaitForSec) {
      char command[32];
      std::snprintf(command, sizeof command, "QZA_WARN.BAT  %d", i);
      ++warnings;
      if (LaunchWarning(command)) ++launches;
    }
  }
  // Supervision pauses only when a warning went out; when none could be
  // started, the next check tries again.
  if (launches > 0) StartSuspension(settings.SleepAfterError);
  if (warnings > 0) return;
  // The need-one rule applies only when its list names a console.
  bool named = false;
  for (int k = 0; k < kConsoleCount; ++k) {
    if (!sv.NeedOneConsole[k]) continue;
    named = true;
    if (Age(now, k) <= settings.WaitForSec) return;  // one alternative is alive
  }
  if (!named) return;
  if (LaunchWarning("QZA_WARN.CMD")) StartSuspension(settings.SleepAfterError);
}

}  // namespace qza
