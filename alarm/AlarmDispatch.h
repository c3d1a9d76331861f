// Handling one alarm file from start to end: read, archive name, checksum,
// message file, launch, rename, acknowledgement and log line.
#ifndef QZA_ALARM_ALARM_DISPATCH_H_
#define QZA_ALARM_ALARM_DISPATCH_H_

// Handles the alarm file at `path` (WatchPath joined with the found name).
// CurrentConsole must be set. Reports on the console and in files.
void ProcessAlarmFile(const char* path);

#endif  // QZA_ALARM_ALARM_DISPATCH_H_
