#include "core/WatchLoop.h"

#include <cstdio>
#include <cstring>
#include <exception>

#include "core/Pattern.h"
#include "platform/Console.h"
#include "platform/Startup.h"
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
  finder_.SetRefusalHandler(&WatchLoop::ReportRefusal, this);
  notification_.Create(g_settings.WatchPath);
}

void WatchLoop::FirstPass() {
  ScanAll();
  if (g_supervision.SupervisionActive.load() && handlers_.check_consoles != nullptr) {
    handlers_.check_consoles();
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
  const uint32_t milliseconds = static_cast<uint32_t>(g_settings.WaitForSec) * 1000u;
  const platform::ChangeNotification::WaitResult result = notification_.Wait(milliseconds);
  if (result == platform::ChangeNotification::kStopped) return;
  if (result == platform::ChangeNotification::kTimeout) {
    platform::Print("Timeout\n");
    notification_.Renew(g_settings.WatchPath);
    ScanAll();
  } else {
    platform::Print("Event\n");
    ScanAll();
  }
  if (g_supervision.SupervisionActive.load() && handlers_.check_consoles != nullptr) {
    handlers_.check_consoles();
  }
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
