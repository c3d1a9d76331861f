#include "alarm/AlarmDispatch.h"
void ProcessAlarmFile(const char*) {}
