// Text-to-speech job files: synthesis and deletion entries, archive and log.
#ifndef QZA_TTS_TTS_JOB_H_
#define QZA_TTS_TTS_JOB_H_

// Handles the TTS job file at `path` (TtsPath joined with the found name).
void ProcessTtsJob(const char* path);

#endif  // QZA_TTS_TTS_JOB_H_
