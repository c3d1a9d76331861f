// Loading the settings from qza_wdir.ini and qzalarm.ini.
#ifndef QZA_CORE_CONFIGURATION_H_
#define QZA_CORE_CONFIGURATION_H_

#include "settings/Settings.h"

// Reads every setting into `settings`, writes the default of each missing one
// back into its file and prints the effective paths. Runs once, before the
// watch loop.
void LoadConfiguration(Settings* settings);

#endif  // QZA_CORE_CONFIGURATION_H_
