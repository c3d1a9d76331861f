// The metrics file: what the service counts, in the Prometheus text
// exposition format, for node_exporter's textfile collector or any reader.
// Replaced atomically (a new file renamed over the old), at most once a
// second after a pass, and at every time-out.
#ifndef QZA_CORE_METRICS_FILE_H_
#define QZA_CORE_METRICS_FILE_H_

#include <cstdint>
#include <string>

#include "settings/ServiceMetrics.h"
#include "settings/Settings.h"
#include "settings/SpoolHandler.h"

namespace qza {

class LaunchLedger;
struct Supervision;

class MetricsFile : public SpoolHandler {
 public:
  // Writes to settings.MetricsFile; an empty setting writes nothing. The
  // references must outlive the object.
  MetricsFile(const Settings& settings, const ServiceMetrics& metrics,
              const LaunchLedger& ledger, Supervision& supervision, int64_t start_time,
              const char* version);

  // The text of the file now (pure but for the clock it is given).
  std::string Text(int64_t now_monotonic_seconds) const;
  // Writes the file when a second has passed since the last write, or when
  // `force`. A write that fails is said once, until one succeeds.
  void Write(bool force);

  // Told after every pass.
  void Handle(const char*, const char*) override {}
  void AfterPass() override { Write(false); }

 private:
  const Settings& settings_;
  const ServiceMetrics& metrics_;
  const LaunchLedger& ledger_;
  Supervision& supervision_;
  int64_t start_time_;
  std::string version_;
  int64_t last_write_ms_ = -1;
  bool failed_ = false;
};

}  // namespace qza

#endif  // QZA_CORE_METRICS_FILE_H_
