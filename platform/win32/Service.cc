// The program as a Windows service.
//
// ConnectService runs the manager's dispatcher on a thread of its own, so
// that the watcher keeps the main thread and runs exactly as it does in a
// console. The service's main function only registers the control handler,
// reports "start pending" and then waits for the end of the process: the
// watcher reports "running" when it prints "Ready" (NotifyReady calls
// ReportServiceRunning), a stop or shut-down request becomes RequestStop (the
// file in hand is finished, as with Ctrl+C), and the end of the process
// reports "stopped", with the service-specific exit code 1 when it ended
// before it was ready.
#include "platform/Service.h"

#include <errno.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/Access.h"
#include "platform/Console.h"
#include "platform/Path.h"
#include "platform/Startup.h"
#include "platform/win32/Win32.h"

namespace platform {
namespace {

constexpr DWORD kPendingHintMs = 30000;     // how long a start or stop may take
constexpr DWORD kConnectTimeoutMs = 30000;  // the manager calls the service's main
constexpr DWORD kRemoveStopTimeoutMs = 60000;

// The connection to the manager. Allocated once and never destroyed: the
// dispatcher's threads and the report at exit may use it to the very end.
struct Connection {
  std::mutex mutex;
  std::condition_variable changed;
  std::string name;
  SERVICE_STATUS_HANDLE handle = nullptr;
  bool answered = false;  // the service's main ran, or the dispatcher failed
  DWORD error = 0;        // why the connection failed
  DWORD state = 0;        // the state last reported
  DWORD checkpoint = 0;
  bool was_running = false;
  bool stopped = false;
};

Connection& TheConnection() {
  static Connection* connection = new Connection();
  return *connection;
}

// The errno value for a code of the service control manager, whose own
// codes the general translation does not know.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_SERVICE_EXISTS:
    case ERROR_DUPLICATE_SERVICE_NAME:
      return EEXIST;
    case ERROR_SERVICE_DOES_NOT_EXIST:
      return ENOENT;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_SERVICE_ACCOUNT:
      return EINVAL;
    case ERROR_FAILED_SERVICE_CONTROLLER_CONNECT:
      return ENOTCONN;
    default:
      return win32::ErrnoFromError(error);
  }
}

// Reports `state` to the manager; called with the connection's lock held.
void ReportLocked(Connection& c, DWORD state) {
  if (c.handle == nullptr || c.stopped) return;
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  status.dwCheckPoint = pending ? ++c.checkpoint : 0;
  status.dwWaitHint = pending ? kPendingHintMs : 0;
  if (state == SERVICE_STOPPED && !c.was_running) {
    status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = 1;
  }
  if (state == SERVICE_RUNNING) c.was_running = true;
  c.state = state;
  // A report the manager refuses changes nothing the service could act on.
  SetServiceStatus(c.handle, &status);
  if (state == SERVICE_STOPPED) {
    c.stopped = true;
    c.changed.notify_all();
  }
}

void Report(DWORD state) {
  Connection& c = TheConnection();
  std::lock_guard<std::mutex> lock(c.mutex);
  ReportLocked(c, state);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING);
      RequestStop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// The service's main function: it lives until the process reports stopped,
// so the dispatcher keeps delivering controls.
void WINAPI ServiceMain(DWORD, LPSTR*) {
  Connection& c = TheConnection();
  std::unique_lock<std::mutex> lock(c.mutex);
  c.handle = RegisterServiceCtrlHandlerExA(c.name.c_str(), &OnControl, nullptr);
  if (c.handle == nullptr) c.error = GetLastError();
  c.answered = true;
  if (c.handle != nullptr) ReportLocked(c, SERVICE_START_PENDING);
  c.changed.notify_all();
  if (c.handle == nullptr) return;
  c.changed.wait(lock, [&] { return c.stopped; });
}

DWORD WINAPI RunDispatcher(void*) {
  Connection& c = TheConnection();
  SERVICE_TABLE_ENTRYA table[] = {{c.name.data(), &ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.answered) {
      c.error = GetLastError();
      c.answered = true;
      c.changed.notify_all();
    }
  }
  return 0;
}

void ReportStoppedAtExit() { Report(SERVICE_STOPPED); }

// Points standard output and error at the service's account file, appended.
Status RedirectStandardStreams() {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE file = CreateFileA(kServiceOutputName, FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return backend::LastFailure("connect");
  SetStdHandle(STD_OUTPUT_HANDLE, file);
  SetStdHandle(STD_ERROR_HANDLE, file);
  return Status();
}

// The failure of `operation` from the service control manager's last error.
Status ManagerFailure(const char* operation) {
  return Status::Failure(operation, ErrnoOf(GetLastError()));
}

// The directory as an absolute path that a command line can carry in quotes:
// no trailing separator, which would escape the closing quote.
std::string QuotableDirectory(const char* directory) {
  const std::string native = win32::BackslashPath(NativeDirectory(directory));
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(native.c_str(), sizeof full, full, nullptr);
  std::string absolute = length > 0 && length < sizeof full ? std::string(full, length) : native;
  while (absolute.size() > 1 && absolute.back() == '\\') absolute.pop_back();
  if (!absolute.empty() && absolute.back() == ':') absolute += "\\.";
  return absolute;
}

// Closes a service manager handle when it goes.
struct ServiceHandle {
  SC_HANDLE handle;
  explicit ServiceHandle(SC_HANDLE h) : handle(h) {}
  ~ServiceHandle() {
    if (handle != nullptr) CloseServiceHandle(handle);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
};

}  // namespace

Status InstallService(const char* name, const char* directory) {
  if (const Status status = DirectoryProblem(directory, false); !status) return status;
  char executable[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, executable, sizeof executable);
  if (length == 0 || length >= sizeof executable) return Status::Failure("install", ENAMETOOLONG);
  const std::string command = "\"" + std::string(executable) + "\" --run-service \"" + name +
                              "\" \"" + QuotableDirectory(directory) + "\"";
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (manager.handle == nullptr) return ManagerFailure("install");
  const std::string display = std::string("Directory watcher / Alarm launcher (") + name + ")";
  ServiceHandle service(CreateServiceA(manager.handle, name, display.c_str(), SERVICE_CHANGE_CONFIG,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                       SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr));
  if (service.handle == nullptr) return ManagerFailure("install");
  // Optional touches: a service without them still runs.
  std::string text = "Watches the spool directory of the installation in " +
                     QuotableDirectory(directory) + " and launches its alarm programs.";
  SERVICE_DESCRIPTIONA description = {text.data()};
  ChangeServiceConfig2A(service.handle, SERVICE_CONFIG_DESCRIPTION, &description);
  SC_ACTION restart[] = {
      {SC_ACTION_RESTART, 2000}, {SC_ACTION_RESTART, 2000}, {SC_ACTION_RESTART, 2000}};
  SERVICE_FAILURE_ACTIONSA actions = {86400, nullptr, nullptr, 3, restart};
  ChangeServiceConfig2A(service.handle, SERVICE_CONFIG_FAILURE_ACTIONS, &actions);
  return Status();
}

Status RemoveService(const char* name) {
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.handle == nullptr) return ManagerFailure("remove");
  ServiceHandle service(
      OpenServiceA(manager.handle, name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (service.handle == nullptr) return ManagerFailure("remove");
  SERVICE_STATUS status = {};
  if (QueryServiceStatus(service.handle, &status) && status.dwCurrentState != SERVICE_STOPPED) {
    // A refused stop (one already under way) still ends in "stopped".
    ControlService(service.handle, SERVICE_CONTROL_STOP, &status);
    for (DWORD waited = 0; waited < kRemoveStopTimeoutMs; waited += 200) {
      if (!QueryServiceStatus(service.handle, &status) ||
          status.dwCurrentState == SERVICE_STOPPED) {
        break;
      }
      Sleep(200);
    }
  }
  if (!DeleteService(service.handle)) return ManagerFailure("remove");
  return Status();
}

Status ConnectService(const char* name) {
  Connection& c = TheConnection();
  c.name = name;
  HANDLE thread = CreateThread(nullptr, 0, &RunDispatcher, nullptr, 0, nullptr);
  if (thread == nullptr) return backend::LastFailure("connect");
  CloseHandle(thread);  // it runs until the process ends
  {
    std::unique_lock<std::mutex> lock(c.mutex);
    if (!c.changed.wait_for(lock, std::chrono::milliseconds(kConnectTimeoutMs),
                            [&] { return c.answered; })) {
      return Status::Failure("connect", ETIMEDOUT);
    }
    // The code was taken on the dispatcher's thread, right after its call.
    if (c.handle == nullptr) return Status::Failure("connect", ErrnoOf(c.error));
  }
  // From here on the manager hears of the end, whichever way it comes; the
  // streams move only now, so that a start by hand still sees why it failed.
  std::atexit(&ReportStoppedAtExit);
  return RedirectStandardStreams();
}

void ReportServiceRunning() {
  Connection& c = TheConnection();
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.handle == nullptr) return;
  }
  // "Ready" is in the service's account before the manager says "running".
  FlushConsole(kPendingHintMs / 10);
  Report(SERVICE_RUNNING);
}

void ReportServiceStopping() { Report(SERVICE_STOP_PENDING); }

}  // namespace platform
