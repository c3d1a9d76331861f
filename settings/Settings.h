// The service's settings, named by their ini keys.
//
// The configuration fills one Settings before the watch loop starts; the loop
// hands it, read-only, to every handler. Texts live in fixed buffers; a value
// longer than its buffer is cut by the profile read to the buffer size less one.
#ifndef QZA_SETTINGS_SETTINGS_H_
#define QZA_SETTINGS_SETTINGS_H_

namespace qza {

constexpr int kPathSize = 128;   // path and pattern settings, joined paths
constexpr int kVoiceSize = 40;   // SVoxSettings/Voice
constexpr int kConsoleCount = 10;
constexpr int kWavDirsSize = 1024;  // SVoxSettings/WavDirs

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
  // 1: the launch journal reaches the disk (fdatasync) before each launch, so
  // that a machine taking over the installation from shared storage knows the
  // alarm in hand; 0: it reaches the page cache only, enough for a local disk.
  int SyncJournal = 0;
  // Server/MetricsFile: where the metrics file is written; empty: nowhere.
  char MetricsFile[kPathSize] = "";
  int UseVoxFile = 0;
  char Voice[kVoiceSize] = "";
  int Speed = 100;
  int Pitch = 100;
  int MaxSeconds = 60;  // SVoxSettings/MaxSeconds: time limit of one synthesis
  // SVoxSettings/MaxJobSeconds: time budget of one speech job as a whole; no
  // entry starts past it, and a synthesis ends at it.
  int MaxJobSeconds = 300;
  // SVoxSettings/WavDirs: the directories below which speech jobs publish
  // and delete WAV files, separated by `|` (which no Windows name holds);
  // empty: the working directory and TtsPath.
  char WavDirs[kWavDirsSize] = "";
  // SVoxSettings/MaxJobWavBytes: bytes of speech one job may publish.
  long MaxJobWavBytes = 50L * 1024 * 1024;
  // SVoxSettings/MaxDayWavBytes: bytes of speech published into one
  // directory per local day, all jobs together.
  long MaxDayWavBytes = 500L * 1024 * 1024;
  char DbPath[kPathSize] = "";
};

}  // namespace qza

#endif  // QZA_SETTINGS_SETTINGS_H_
