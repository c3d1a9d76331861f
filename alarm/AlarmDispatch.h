// Handling one alarm file from start to end: read, archive name, checksum,
// message file, launch, rename, acknowledgement and log line.
//
// Every valid alarm starts its program once. A launch is recorded only when
// the program started; an alarm whose program could not be started stays in
// the spool and is tried again at later passes. Before each launch the alarm
// and its archive name are written to a small journal in the working
// directory, and cleared once the file is archived, so that after a crash the
// one alarm that was being started is launched again with the same archive
// name, and no other alarm ever gets that name.
#ifndef QZA_ALARM_ALARM_DISPATCH_H_
#define QZA_ALARM_ALARM_DISPATCH_H_

// The journal's file name in the working directory.
#include "settings/Settings.h"

constexpr char kAlarmJournalName[] = "qza_wdir.journal";

// Opens the journal and takes over what a previous run left in it. Prints a
// line when the journal cannot be used (alarms are then launched without it).
// Call once before the first alarm.
void OpenAlarmJournal();

// Learns the archive numbers of this month from one listing of WatchPath,
// unless they are known already, so that the first alarm after a start does
// not wait for it. Call once the start-up pass is over: that pass lists
// everything and so forgets what was known before it.
void LearnArchiveNames(const Settings& settings);

// Handles the alarm file at `path` (WatchPath joined with the found name).
// `console` is the console digit of its name (the sixth character minus '0'),
// which names the acknowledgement file. Reports on the console and in files.
void ProcessAlarmFile(const Settings& settings, const char* path, int console);

// What the handler knows of WatchPath's archive names: a name appeared or
// left, or names may have been missed (the next alarm lists the directory).
void ArchiveNameAppeared(const char* name);
void ArchiveNameLeft(const char* name);
void ArchiveNamesMissed();

// Forgets the alarms that were launched but could not be archived, and the
// journal's state (tests start each case afresh).
void ResetAlarmState();

#endif  // QZA_ALARM_ALARM_DISPATCH_H_
