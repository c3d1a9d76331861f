// What the watch loop and the handlers of spool files share: the one narrow
// interface through which the loop hands over files and tells of names, and
// the clock a handler reads its times from.
//
// `main` makes each handler as an object that owns its state and keeps what
// it reads (the settings, a clock) from its construction on; the loop knows
// handlers only through SpoolHandler.
#ifndef QZA_SETTINGS_SPOOL_HANDLER_H_
#define QZA_SETTINGS_SPOOL_HANDLER_H_

#include <cstdint>

#include "platform/Clock.h"

namespace qza {

// The times a handler reads. The default is the platform's clock; a test
// gives a handler its own.
struct HandlerClock {
  int64_t (*now)();                 // seconds since 1970, for printed times and names
  int64_t (*monotonic_seconds)();   // for ages; only differences are meaningful
  void (*sleep)(uint32_t milliseconds);
  // The platform's clock (which a test may also replace as a whole).
  static const HandlerClock& System() {
    static const HandlerClock clock{&platform::Now, &platform::MonotonicSeconds,
                                    &platform::Sleep};
    return clock;
  }
};

class SpoolHandler {
 public:
  virtual ~SpoolHandler() = default;

  // Handles the spool file at `path` (its kind's directory setting joined
  // with `name`, the name as found). Both texts are valid for the call only.
  // The handler reports on the console and in its files; it returns when the
  // file is done or handed to a lane of the handler's own.
  virtual void Handle(const char* path, const char* name) = 0;

  // Called after every pass (a change, a time-out or a poll).
  virtual void AfterPass() {}

  // Told of every name that appears in WatchPath or leaves it, and when names
  // may have been missed, so that what a handler knows of the directory stays
  // true without listing it.
  virtual void NameAppeared(const char* /*name*/) {}
  virtual void NameLeft(const char* /*name*/) {}
  virtual void NamesMissed() {}

  // Ends work that runs on a lane of the handler's own: what is in hand is
  // finished, what waits stays in the spool for the next start. Returns when
  // the lane has stopped.
  virtual void Finish() {}
};

}  // namespace qza

#endif  // QZA_SETTINGS_SPOOL_HANDLER_H_
