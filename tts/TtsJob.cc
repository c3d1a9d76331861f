#include "tts/TtsJob.h"
void ProcessTtsJob(const char*) {}
