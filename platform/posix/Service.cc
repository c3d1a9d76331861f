// Windows services do not exist here: systemd runs the service instead.
#include "platform/Service.h"

#include <errno.h>

namespace platform {

int InstallService(const char*, const char*) { return ENOSYS; }

int RemoveService(const char*) { return ENOSYS; }

int ConnectService(const char*) { return ENOSYS; }

void ReportServiceRunning() {}

void ReportServiceStopping() {}

}  // namespace platform
