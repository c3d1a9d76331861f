// Text-to-speech job files: synthesis and deletion entries, archive and log.
//
// A job comes from a spool directory that other programs write, so it is read
// as hostile input: opened without following a link and without blocking,
// read once with a size cap, and the names inside it must stay in their
// directory.
#ifndef QZA_TTS_TTS_JOB_H_
#define QZA_TTS_TTS_JOB_H_

#include <cstddef>
#include <string>

#include "settings/Settings.h"

// The largest job read. An honest job of 99 full entries is below 250 KiB.
constexpr size_t kMaxTtsJobBytes = 1024 * 1024;

// Handles the TTS job file at `path` (TtsPath joined with the found name).
// The settings give the synthesiser (SvoxPath, Voice, Pitch, Speed,
// MaxSeconds) and where the archive copy and the log go (TtsLogPath).
void ProcessTtsJob(const Settings& settings, const char* path);

// Reads the whole job file, opened exclusively, into `text`. Returns 0, or
// the errno value of the refusal: ENOENT (missing), EBUSY (open elsewhere),
// ELOOP (a symbolic link), EISDIR or ENODEV (not a regular file), EFBIG (more
// than kMaxTtsJobBytes; at most one byte more is read), or the error of a
// failed read. The file itself is never changed.
int ReadTtsJob(const char* path, std::string* text);

// Why `name` is no plain file name that stays in its directory, or null when
// it is one: it must hold no `\`, `/` or `:`, no blank, quote or control
// character, and must not be "." or "..".
const char* FileNameFault(const char* name);

// True when `name` ends in ".wav" in any case: the only files a deletion
// entry may delete.
bool NamesAWavFile(const char* name);

#endif  // QZA_TTS_TTS_JOB_H_
