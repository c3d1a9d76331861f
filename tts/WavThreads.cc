#include "tts/WavThreads.h"
void MoveWavThread(void*) {}
void DeleteWavThread(void*) {}
