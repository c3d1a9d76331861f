// Process-wide settings, named by their ini keys, and the console supervision
// state that the configuration sets up.
//
// The settings are written once, by LoadConfiguration, before the watch loop
// starts, and are read-only afterwards. Texts live in fixed buffers; a value
// longer than its buffer is cut by the profile read to the buffer size less one.
#ifndef QZA_CORE_SETTINGS_H_
#define QZA_CORE_SETTINGS_H_

#include <atomic>
#include <cstdint>

constexpr int kPathSize = 128;   // path and pattern settings, joined paths
constexpr int kVoiceSize = 40;   // SVoxSettings/Voice
constexpr int kConsoleCount = 10;

struct Settings {
  int Number = 1;  // the server number
  char NeedOneConsOf[kPathSize] = "";
  char NeedAllConsOf[kPathSize] = "";
  char WatchPath[kPathSize] = "";
  char AckPath[kPathSize] = "";
  char WatchFiles[kPathSize] = "";
  char WatchDogFiles[kPathSize] = "";
  char WatchJobFiles[kPathSize] = "";
  char JobPath[kPathSize] = "";
  char WatchTtsFiles[kPathSize] = "";
  char TtsPath[kPathSize] = "";
  char TtsLogPath[kPathSize] = "";
  char SvoxPath[kPathSize] = "";
  int WaitForSec = 180;
  int SleepAfterError = 1200;
  // Seconds between scans of the spool on top of the notifications: -1 scans
  // every 5 seconds only where WatchPath lies on a network or FUSE file
  // system (whose changes by other machines are not notified), 0 never, N
  // every N seconds.
  int PollSec = -1;
  int UseVoxFile = 0;
  char Voice[kVoiceSize] = "";
  int Speed = 100;
  int Pitch = 100;
  int MaxSeconds = 60;  // SVoxSettings/MaxSeconds: time limit of one synthesis
  char DbPath[kPathSize] = "";
};

extern Settings g_settings;

// Console supervision. The flag tables and the last-seen times are touched by
// the main thread only; SupervisionActive is shared with the suspend thread.
struct Supervision {
  int NeedOneConsole[kConsoleCount] = {};
  int NeedAllConsole[kConsoleCount] = {};
  // Seconds of the monotonic clock that counts suspended time, so that a
  // step of the wall clock neither hides a silent console nor warns falsely.
  int64_t ConsoleLastSeen[kConsoleCount] = {};
  std::atomic<int> SupervisionActive{0};
};

extern Supervision g_supervision;

// The console digit of the alarm file being handled: the sixth character of
// its name minus '0'. Set by the watch loop before each alarm handler call.
extern int CurrentConsole;

#endif  // QZA_CORE_SETTINGS_H_
