#include "core/MetricsFile.h"

#include <errno.h>

#include <cinttypes>
#include <cstdio>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "support/LaunchLedger.h"
#include "watchdog/Watchdog.h"

namespace qza {

namespace {

void Metric(std::string* text, const char* name, const char* type, const char* help) {
  *text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string* text, const char* name, const char* labels, uint64_t value) {
  char line[256];
  std::snprintf(line, sizeof line, "%s%s %" PRIu64 "\n", name, labels, value);
  *text += line;
}

void Counters(std::string* text, const char* name, const char* help,
              const std::atomic<uint64_t> (&by_reason)[ServiceMetrics::kRefusalCount]) {
  Metric(text, name, "counter", help);
  for (int r = 0; r < ServiceMetrics::kRefusalCount; ++r) {
    const std::string labels =
        std::string("{reason=\"") +
        ServiceMetrics::RefusalName(static_cast<ServiceMetrics::Refusal>(r)) + "\"}";
    Sample(text, name, labels.c_str(), by_reason[r].load());
  }
}

void Counter(std::string* text, const char* name, const char* help, uint64_t value) {
  Metric(text, name, "counter", help);
  Sample(text, name, "", value);
}

void Gauge(std::string* text, const char* name, const char* help, uint64_t value) {
  Metric(text, name, "gauge", help);
  Sample(text, name, "", value);
}

}  // namespace

MetricsFile::MetricsFile(const Settings& settings, const ServiceMetrics& metrics,
                         const LaunchLedger& ledger, Supervision& supervision,
                         int64_t start_time, const char* version)
    : settings_(settings),
      metrics_(metrics),
      ledger_(ledger),
      supervision_(supervision),
      start_time_(start_time),
      version_(version) {}

std::string MetricsFile::Text(int64_t now) const {
  const ServiceMetrics& m = metrics_;
  std::string t;
  Counter(&t, "qza_wdir_alarms_launched_total", "Alarms whose program was started.",
          m.alarms_launched.load());
  Counter(&t, "qza_wdir_alarms_failed_total", "Alarms whose program could not be started.",
          m.alarms_failed.load());
  Counters(&t, "qza_wdir_alarms_refused_total", "Alarm files not launched, by reason.",
           m.alarms_refused);
  Gauge(&t, "qza_wdir_last_alarm_launched_timestamp_seconds",
        "When the last alarm was launched (0: none since the start).",
        static_cast<uint64_t>(m.last_alarm_time.load()));
  Counter(&t, "qza_wdir_fax_jobs_launched_total", "Fax jobs whose program was started.",
          m.fax_launched.load());
  Counter(&t, "qza_wdir_fax_jobs_failed_total", "Fax jobs whose program could not be started.",
          m.fax_failed.load());
  Counters(&t, "qza_wdir_fax_jobs_refused_total", "Fax jobs not launched, by reason.",
           m.fax_refused);
  Counter(&t, "qza_wdir_speech_entries_spoken_total", "Speech entries synthesised.",
          m.speech_entries_spoken.load());
  Counter(&t, "qza_wdir_speech_entries_failed_total", "Speech entries whose synthesis failed.",
          m.speech_entries_failed.load());
  Counter(&t, "qza_wdir_speech_entries_refused_total", "Speech entries refused.",
          m.speech_entries_refused.load());
  uint64_t pending = 0;
  for (const LedgerRecord& r : ledger_.records()) {
    pending += r.state == LedgerRecord::State::kLeft ? 1 : 0;
  }
  Gauge(&t, "qza_wdir_pending_files",
        "Spool files launched but left for the operator (see qza_wdir --pending).", pending);
  const Supervision& sv = supervision_;
  uint64_t silent = 0;
  for (int i = 0; i < kConsoleCount; ++i) {
    const bool needed = sv.NeedAllConsole[i] || sv.NeedOneConsole[i];
    silent += needed && now - sv.ConsoleLastSeen[i] > settings_.WaitForSec ? 1 : 0;
  }
  Gauge(&t, "qza_wdir_silent_consoles",
        "Supervised consoles not heard of for more than WaitForSec seconds.", silent);
  bool supervised = false;
  for (int i = 0; i < kConsoleCount; ++i) {
    supervised |= sv.NeedAllConsole[i] != 0 || sv.NeedOneConsole[i] != 0;
  }
  Gauge(&t, "qza_wdir_supervision_paused",
        "1 while supervision of consoles pauses after a warning.",
        supervised && sv.SupervisionActive.load() == 0 ? 1 : 0);
  Gauge(&t, "qza_wdir_start_time_seconds", "When the service started.",
        static_cast<uint64_t>(start_time_));
  Metric(&t, "qza_wdir_build_info", "gauge", "The service's version.");
  Sample(&t, "qza_wdir_build_info", ("{version=\"" + version_ + "\"}").c_str(), 1);
  return t;
}

void MetricsFile::Write(bool force) {
  if (settings_.MetricsFile[0] == '\0') return;
  const int64_t now_ms = platform::MonotonicMilliseconds();
  if (!force && last_write_ms_ >= 0 && now_ms - last_write_ms_ < 1000) return;
  last_write_ms_ = now_ms;
  const std::string text = Text(platform::MonotonicSeconds());
  const platform::Status written =
      platform::WriteFileAtomically(settings_.MetricsFile, text.data(), text.size());
  if (written.ok()) {
    failed_ = false;
    return;
  }
  if (!failed_) {
    platform::PrintError("qza_wdir: metrics file %s cannot be written: %s\n", settings_.MetricsFile,
                         written.reason());
  }
  failed_ = true;
}

}  // namespace qza
