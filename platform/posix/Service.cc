// Windows services do not exist here: systemd runs the service instead.
#include "platform/Service.h"

#include <errno.h>

namespace platform {

Status InstallService(const char*, const char*) { return Status::Failure("install", ENOSYS); }

Status RemoveService(const char*) { return Status::Failure("remove", ENOSYS); }

Status ConnectService(const char*) { return Status::Failure("connect", ENOSYS); }

void ReportServiceRunning() {}

void ReportServiceStopping() {}

}  // namespace platform
