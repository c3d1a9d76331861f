// What the service counts for monitoring: launches, failures and refusals of
// each kind of spool file, and the time of the last alarm launched. Handlers
// count; the metrics file (core/MetricsFile) reads. Counters are atomic, since
// the speech lane counts on its own thread.
#ifndef QZA_SETTINGS_SERVICE_METRICS_H_
#define QZA_SETTINGS_SERVICE_METRICS_H_

#include <atomic>
#include <cstdint>

namespace qza {

struct ServiceMetrics {
  // Why a spool file was not launched and stays (or was deleted).
  enum Refusal { kInvalid, kUnreadable, kLeftForOperator, kRefusalCount };

  std::atomic<uint64_t> alarms_launched{0};
  std::atomic<uint64_t> alarms_failed{0};  // the program did not start
  std::atomic<uint64_t> alarms_refused[kRefusalCount] = {};
  std::atomic<int64_t> last_alarm_time{0};  // seconds since 1970; 0: none yet
  std::atomic<uint64_t> fax_launched{0};
  std::atomic<uint64_t> fax_failed{0};
  std::atomic<uint64_t> fax_refused[kRefusalCount] = {};
  std::atomic<uint64_t> speech_entries_spoken{0};
  std::atomic<uint64_t> speech_entries_failed{0};
  std::atomic<uint64_t> speech_entries_refused{0};

  static const char* RefusalName(Refusal refusal) {
    switch (refusal) {
      case kInvalid:
        return "invalid";
      case kUnreadable:
        return "unreadable";
      case kLeftForOperator:
        return "left_for_operator";
      case kRefusalCount:
        break;
    }
    return "other";
  }
};

// Adds one to a counter that may be absent (a handler made without metrics).
inline void Count(std::atomic<uint64_t>* counter) {
  if (counter != nullptr) counter->fetch_add(1, std::memory_order_relaxed);
}

}  // namespace qza

#endif  // QZA_SETTINGS_SERVICE_METRICS_H_
