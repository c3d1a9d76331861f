// Background threads that publish synthesised WAV files and delete old ones.
#ifndef QZA_TTS_WAV_THREADS_H_
#define QZA_TTS_WAV_THREADS_H_

// Publishes the synthesiser's output for `target` (a heap text made with
// new[], owned and freed by the thread) and removes the output and its text
// file. Reports on the console only.
void MoveWavThread(void* target);

// Deletes the WAV file at `path` (a heap text made with new[], owned and freed
// by the thread), retrying while it is held. Reports on the console only.
void DeleteWavThread(void* path);

#endif  // QZA_TTS_WAV_THREADS_H_
