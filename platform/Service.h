// The program as a Windows service: its registration with the service control
// manager, and the connection of a running watcher to it.
//
// A registered service NAME runs this executable as
// "<executable>" --run-service NAME "<directory>"; ConnectService then makes
// the process that service: stop and shut-down requests become a stop request
// (RequestStop, as Ctrl+C is), ReportServiceRunning and ReportServiceStopping
// tell the manager, and the end of the process reports it stopped. Its
// standard output and error go to the file kServiceOutputName in the
// installation directory, appended. On other systems the registrations and
// the connection fail with ENOSYS (there the service manager is systemd, with
// its own unit) and the reports do nothing.
#ifndef QZA_PLATFORM_SERVICE_H_
#define QZA_PLATFORM_SERVICE_H_

#include "platform/Status.h"

namespace platform {

// The account of a service run, in its installation directory.
constexpr char kServiceOutputName[] = "qza_wdir-service.log";

// Registers the service NAME, started automatically at boot, that runs this
// executable in `directory` (made absolute). Fails ("install"; EEXIST: a
// service of that name exists; EACCES: the caller may not create services;
// ENOSYS: not on Windows).
Status InstallService(const char* name, const char* directory);

// Removes the service NAME, stopping it first when it runs. Fails ("remove";
// ENOENT: no such service; ENOSYS: not on Windows).
Status RemoveService(const char* name);

// Connects this process to the service control manager as the service NAME,
// then moves standard output and error to kServiceOutputName in the working
// directory. Succeeds once the manager has been told the service is
// starting. Fails ("connect") when the process was not started by the
// manager, the connection failed (both reported on the old standard error by
// the caller) or the file cannot be opened (the manager then hears that the
// service stopped with an error when the process ends); ENOSYS not on Windows.
Status ConnectService(const char* name);

// Tell a connected manager that the service runs (once "Ready" is in its
// account) or is stopping. They do nothing when the process is no service;
// NotifyReady and NotifyStopping (platform/SystemdNotify.h) call them.
void ReportServiceRunning();
void ReportServiceStopping();

}  // namespace platform

#endif  // QZA_PLATFORM_SERVICE_H_
