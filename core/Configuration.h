// Loading the settings from qza_wdir.ini and qzalarm.ini.
#ifndef QZA_CORE_CONFIGURATION_H_
#define QZA_CORE_CONFIGURATION_H_

#include "settings/Settings.h"

namespace qza {

// How the settings are read: by the service, which writes the default of each
// missing key back into its file, prints the effective paths and what makes
// an ini file unlike one, and takes an unusable WaitForSec as a usable one; or
// read-only (the configuration check), which writes nothing, prints nothing
// and keeps WaitForSec as the file gives it.
enum class ConfigurationUse { kService, kReadOnly };

// Reads every setting into `settings` from qza_wdir.ini and qzalarm.ini,
// applying the defaults as the service does. Runs once, before the watch loop.
void LoadConfiguration(Settings* settings, ConfigurationUse use = ConfigurationUse::kService);

}  // namespace qza

#endif  // QZA_CORE_CONFIGURATION_H_
