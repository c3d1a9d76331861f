// Loading the settings from qza_wdir.ini and qzalarm.ini.
#ifndef QZA_CORE_CONFIGURATION_H_
#define QZA_CORE_CONFIGURATION_H_

#include "settings/Settings.h"

// The service's settings, filled by LoadConfiguration. Only the program's
// start-up reads it; everything else is handed what it reads.
extern Settings g_settings;

// Reads every setting, writes the default of each missing one back into its
// file, prints the effective paths, parses the two console lists and marks
// every console as seen now. Runs once, before the watch loop.
void LoadConfiguration();

// Parses a console list as strtok(" ,") and atoi would: each token from 1 to 9
// sets its flag; any other token is skipped. Returns the number of flags set.
int ParseConsoleList(const char* text, int flags[kConsoleCount]);

#endif  // QZA_CORE_CONFIGURATION_H_
