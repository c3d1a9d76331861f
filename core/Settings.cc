#include "core/Settings.h"

Settings g_settings;
Supervision g_supervision;
int CurrentConsole = 0;
