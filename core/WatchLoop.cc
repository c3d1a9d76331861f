#include "core/WatchLoop.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <exception>

#include "core/Pattern.h"
#include "platform/Console.h"
#include "platform/FileSystemKind.h"
#include "platform/Startup.h"
#include "platform/SystemdNotify.h"
#include "support/Printable.h"

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

}  // namespace

void WatchLoop::CheckPatterns() {
  alarm_pattern_ok_ = AcceptPattern("WatchFiles", g_settings.WatchFiles, "alarm");
  watchdog_pattern_ok_ = AcceptPattern("WatchDogFiles", g_settings.WatchDogFiles, "watchdog");
}

void WatchLoop::Start() {
  constexpr int kRemotePollSec = 5;
  finder_.SetRefusalHandler(&WatchLoop::ReportRefusal, this);
  notification_.Create(g_settings.WatchPath);
  ping_ms_ = platform::WatchdogPingMs();
  const int poll = g_settings.PollSec;
  const char* remote = platform::RemoteFileSystemOf(g_settings.WatchPath);
  const int seconds = poll > 0 ? poll : (poll < 0 && remote != nullptr ? kRemotePollSec : 0);
  poll_ms_ = static_cast<uint32_t>(seconds > 4000000 ? 4000000 : seconds) * 1000u;
  if (remote == nullptr) return;
  if (poll_ms_ > 0) {
    platform::Print("%s is on a %s file system: changes made by other machines are not notified; "
                    "it is scanned every %d seconds\n",
                    g_settings.WatchPath, remote, seconds);
  } else {
    platform::Print("%s is on a %s file system: changes made by other machines are not notified "
                    "and Server/PollSec=0 turns scanning off\n",
                    g_settings.WatchPath, remote);
  }
}

void WatchLoop::CheckConsolesIfActive() {
  if (g_supervision.SupervisionActive.load() && handlers_.check_consoles != nullptr) {
    handlers_.check_consoles();
  }
}

void WatchLoop::FirstPass() {
  ScanAll();
  CheckConsolesIfActive();
}

platform::ChangeNotification::WaitResult WatchLoop::WaitForChange() {
  using platform::ChangeNotification;
  const uint64_t total = static_cast<uint32_t>(g_settings.WaitForSec) * 1000u;
  uint64_t step = 0;
  for (uint32_t interval : {ping_ms_, poll_ms_}) {
    if (interval > 0 && (step == 0 || interval < step)) step = interval;
  }
  if (step == 0) return notification_.Wait(static_cast<uint32_t>(total));
  uint64_t waited = 0;
  uint64_t since_poll = 0;
  for (;;) {
    if (ping_ms_ > 0) platform::NotifyWatchdog();
    const uint64_t chunk = std::min(step, total - waited);
    const ChangeNotification::WaitResult result =
        notification_.Wait(static_cast<uint32_t>(chunk));
    if (result != ChangeNotification::kTimeout) return result;
    waited += chunk;
    since_poll += chunk;
    if (waited >= total) return result;
    if (poll_ms_ > 0 && since_poll >= poll_ms_) {
      since_poll = 0;
      ScanAll();  // prints only what the handlers print
      CheckConsolesIfActive();
    }
  }
}

void WatchLoop::ReportRefusal(void* self, const char* directory, const char* name,
                              const char* why) {
  constexpr size_t kRemembered = 4096;  // a flood of bad names costs bounded memory
  auto* loop = static_cast<WatchLoop*>(self);
  std::string key = std::string(directory) + '\0' + name;
  if (loop->refused_.count(key) != 0) return;
  if (loop->refused_.size() >= kRemembered) loop->refused_.clear();
  loop->refused_.insert(std::move(key));
  platform::Print("Spool entry '%s%s' passed over: %s\r\n", Printable(directory).c_str(),
                  Printable(name).c_str(), why);
}

void WatchLoop::RunPass() {
  const platform::ChangeNotification::WaitResult result = WaitForChange();
  if (result == platform::ChangeNotification::kStopped) return;
  if (result == platform::ChangeNotification::kTimeout) {
    platform::Print("Timeout\n");
    notification_.Renew(g_settings.WatchPath);
    ScanAll();
  } else {
    platform::Print("Event\n");
    ScanAll();
  }
  CheckConsolesIfActive();
  // Re-arming is implicit: events that arrived during the scans stay queued
  // and end the next wait at once.
}

void WatchLoop::Run() {
  while (!platform::StopRequested()) RunPass();
}

bool WatchLoop::FormPattern(const char* key, const char* format, bool allowed) {
  if (!allowed) return false;
  if (FormatServerPattern(format, g_settings.Number, pattern_, sizeof pattern_)) return true;
  platform::Print("Pathnames/%s gives a pattern longer than 127 characters; not scanned\r\n", key);
  return false;
}

void WatchLoop::ScanAll() {
  if (platform::StopRequested()) return;
  const Settings& s = g_settings;
  if (FormPattern("WatchFiles", s.WatchFiles, alarm_pattern_ok_)) {
    Scan(kAlarm, pattern_, s.WatchPath);
  }
  Scan(kFax, s.WatchJobFiles, s.JobPath);
  Scan(kTts, s.WatchTtsFiles, s.TtsPath);
  if (FormPattern("WatchDogFiles", s.WatchDogFiles, watchdog_pattern_ok_)) {
    Scan(kWatchdog, pattern_, s.WatchPath);
  }
}

void WatchLoop::Scan(Kind kind, const char* pattern, const char* directory) {
  if (platform::StopRequested()) return;
  for (bool found = finder_.First(pattern); found; found = finder_.Next()) {
    const char* name = finder_.Name();
    int length = std::snprintf(path_, sizeof path_, "%s.\\%s", directory, name);
    if (length < 0 || length >= static_cast<int>(sizeof path_)) {
      platform::Print("Path longer than 127 characters, file skipped: %s.\\%s\r\n", directory,
                      name);
      continue;
    }
    Dispatch(kind, name);
    if (platform::StopRequested()) break;  // the file in hand is done
  }
  finder_.Close();
}

void WatchLoop::Dispatch(Kind kind, const char* name) {
  // A handler that runs out of memory or meets another failure it cannot
  // handle gives up this file, never the service: the file is met again at a
  // later pass.
  try {
    Handle(kind, name);
  } catch (const std::exception& error) {
    platform::Print("ERROR: '%s' could not be handled: %s\r\n", path_, error.what());
  } catch (...) {
    platform::Print("ERROR: '%s' could not be handled\r\n", path_);
  }
}

void WatchLoop::Handle(Kind kind, const char* name) {
  // The sixth character of the name carries the console digit; a shorter name
  // gives the terminator, as the Windows find record would.
  const char sixth = std::strlen(name) > 5 ? name[5] : '\0';
  switch (kind) {
    case kAlarm:
      CurrentConsole = static_cast<signed char>(sixth) - '0';
      if (handlers_.alarm) handlers_.alarm(path_);
      break;
    case kFax:
      if (handlers_.fax) handlers_.fax(path_);
      break;
    case kTts:
      if (handlers_.tts) handlers_.tts(path_);
      break;
    case kWatchdog:
      if (handlers_.watchdog) handlers_.watchdog(path_, sixth);
      break;
  }
}
