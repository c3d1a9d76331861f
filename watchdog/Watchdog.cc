#include "watchdog/Watchdog.h"

#include <errno.h>

#include <cstdio>
#include <set>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"
#include "platform/File.h"
#include "support/Launch.h"

Supervision g_supervision;

namespace {

// True when the warning program started; a failure is printed.
bool LaunchWarning(const char* command_line) { return LaunchDetached(command_line) == 0; }

// Watchdog files that could not be deleted, by device, inode, size and
// modification time: each counts as a sign of life once, not at every pass.
std::set<platform::FileIdentity> undeletable;

// True when this undeletable file was counted before; remembers it otherwise.
bool CountedBefore(const char* path) {
  platform::FileIdentity identity;
  return platform::IdentityOfPath(path, &identity) && !undeletable.insert(identity).second;
}

void RecordSignOfLife(char console) {
  if (console >= '0' && console <= '9') {
    g_supervision.ConsoleLastSeen[console - '0'] = platform::MonotonicSeconds();
  }
}

// The thread's argument carries the seconds of the pause.
void SuspendThread(void* seconds) {
  SuspendSupervision(static_cast<int>(reinterpret_cast<intptr_t>(seconds)));
}

// Supervision is switched off by the check that warned, before the thread
// starts, so that no check can run in between and warn twice.
void StartSuspension(int seconds) {
  g_supervision.SupervisionActive = 0;
  void* argument = reinterpret_cast<void*>(static_cast<intptr_t>(seconds));
  if (!platform::StartDetachedThread(&SuspendThread, argument)) {
    g_supervision.SupervisionActive = 1;  // no pause: the next check may warn again
  }
}

// Seconds since the console was last heard of, as a signed 32-bit difference.
int32_t Age(int64_t now, int console) {
  return static_cast<int32_t>(now - g_supervision.ConsoleLastSeen[console]);
}

}  // namespace

void ClearWatchdogFile(const Settings&, const char* path, char console) {
  if (platform::RemoveFile(path)) {
    const struct tm time = platform::LocalTime(platform::Now());
    platform::Print("%02d:%02d %02d:%02d:%02d Watchdog event (from console %c) cleared\n",
                    time.tm_mday, time.tm_mon + 1, time.tm_hour, time.tm_min, time.tm_sec,
                    console);
    RecordSignOfLife(console);
    return;
  }
  const int error = errno;
  if (CountedBefore(path)) return;  // reported and counted at its first pass
  platform::Print("Failed to delete watchdog file %s: %s\n", path, platform::ErrorText(error));
  RecordSignOfLife(console);
}

void ResetWatchdogState() { undeletable.clear(); }

void CheckConsoles(const Settings& settings) {
  const Supervision& sv = g_supervision;
  const int64_t now = platform::MonotonicSeconds();
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

void SuspendSupervision(int seconds) {
  g_supervision.SupervisionActive = 0;
  platform::Print("suspend for %d seconds\n", seconds);
  platform::Sleep(static_cast<uint32_t>(seconds) * 1000u);
  g_supervision.SupervisionActive = 1;
}
