// The watcher as a Windows service: installed, started by the service control
// manager, sent an alarm, stopped and removed (run under Wine by the cross
// build). Elsewhere the service commands are refused with a pointer to the
// systemd unit.
#ifdef _WIN32
#include <windows.h>
#endif

#include "AlarmContent.h"
#include "platform/Service.h"
#include "system/ServiceFixture.h"

namespace qza {

namespace systemtest {
namespace {

using ServiceSystemTest = ServiceTest;

TEST_F(ServiceSystemTest, CommandsWithoutTheirArgumentsAreRefused) {
  const struct {
    std::vector<std::string> arguments;
    const char* needs;
  } cases[] = {
      {{"--install-service", "qza"},
       "--install-service needs a service name and an installation "
       "directory"},
      {{"--remove-service"}, "--remove-service needs a service name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.needs);
    StartOptions options;
    options.arguments = c.arguments;
    options.capture_errors = true;
    Service& service = Start(true, options);
    EXPECT_EQ(service.WaitForExit(60s), 2);
    EXPECT_NE(service.Errors().find(c.needs), std::string::npos) << service.Errors();
  }
}

#ifndef _WIN32

TEST_F(ServiceSystemTest, ServiceCommandsPointToTheSystemdUnit) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--install-service", "qza", dir_.path()},
        std::vector<std::string>{"--remove-service", "qza"}}) {
    StartOptions options;
    options.arguments = arguments;
    options.capture_errors = true;
    Service& service = Start(true, options);
    EXPECT_EQ(service.WaitForExit(), 1);
    EXPECT_EQ(service.Errors(),
              "qza_wdir: Windows services exist on Windows only; here systemd runs the service "
              "with the unit qza_wdir@.service\n");
  }
}

#else

struct Ended {
  int status = -1;
  std::string output;
  std::string errors;
};

// The state of a service as the manager reports it; 0 when it cannot be asked.
DWORD StateOf(const std::string& name) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return 0;
  SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS);
  SERVICE_STATUS status = {};
  const bool known = service != nullptr && QueryServiceStatus(service, &status);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return known ? status.dwCurrentState : 0;
}

// Sends a start or stop to the service. True when the manager took it.
bool Control(const std::string& name, bool start) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_START | SERVICE_STOP);
  SERVICE_STATUS status = {};
  const bool done =
      service != nullptr && (start ? StartServiceA(service, 0, nullptr)
                                   : ControlService(service, SERVICE_CONTROL_STOP, &status));
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return done;
}

// Removes the service at the end of a test that failed half-way.
struct Registration {
  std::string name;
  // A registration that is gone already needs no removal.
  ~Registration() { (void)platform::RemoveService(name.c_str()); }
};

TEST_F(ServiceSystemTest, InstalledServiceStartsLaunchesAnAlarmStopsAndIsRemoved) {
  WriteIni();
  // The manager starts the service with its own PATH: the program lies in the
  // installation directory, where the search also looks.
  ASSERT_TRUE(testutil::MakeRecordingProgram(dir_.path(), "QZARUN.CMD", Path("calls.log")));
  const std::string name = "qza_wdir_test_" + std::to_string(GetCurrentProcessId());
  // Runs qza_wdir with the arguments in the test directory until it ends.
  auto run = [&](std::vector<std::string> arguments) {
    StartOptions options;
    options.arguments = std::move(arguments);
    Service& service = Start(true, options);
    Ended ended;
    ended.status = service.WaitForExit(60s);
    ended.output = service.Output();
    ended.errors = service.Errors();
    return ended;
  };
  const Ended installed = run({"--install-service", name, dir_.path()});
  ASSERT_EQ(installed.status, 0) << installed.output << installed.errors;
  EXPECT_EQ(installed.output, "Installed the service " + name + "\n");
  Registration registration{name};
  EXPECT_EQ(StateOf(name), static_cast<DWORD>(SERVICE_STOPPED));
  const Ended twice = run({"--install-service", name, dir_.path()});
  EXPECT_EQ(twice.status, 1);

  ASSERT_TRUE(Control(name, true)) << GetLastError();
  ASSERT_TRUE(testutil::WaitFor([&] { return StateOf(name) == SERVICE_RUNNING; }, 60s))
      << StateOf(name);
  // Running is reported once the watcher is ready.
  const std::string log = Path(platform::kServiceOutputName);
  ASSERT_TRUE(testutil::WaitFor(
      [&] { return testutil::ReadFile(log).find("Ready\n") != std::string::npos; }, 30s))
      << testutil::ReadFile(log);
  Drop("spool/qza1k3.in", testutil::AlarmContent({}));
  ASSERT_TRUE(WaitForCalls(1, 60s)) << testutil::ReadFile(log);
  EXPECT_EQ(Calls()[0].rfind("QZARUN.CMD [", 0), 0u) << Calls()[0];

  // A stop finishes the file in hand and ends the watcher as Ctrl+C does.
  ASSERT_TRUE(Control(name, false)) << GetLastError();
  ASSERT_TRUE(testutil::WaitFor([&] { return StateOf(name) == SERVICE_STOPPED; }, 60s))
      << StateOf(name);
  EXPECT_NE(testutil::ReadFile(log).find("Stopped\n"), std::string::npos)
      << testutil::ReadFile(log);

  const Ended removed = run({"--remove-service", name});
  EXPECT_EQ(removed.status, 0) << removed.output << removed.errors;
  EXPECT_EQ(removed.output, "Removed the service " + name + "\n");
  EXPECT_EQ(StateOf(name), 0u);
  const Ended unknown = run({"--remove-service", name});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.errors.find("qza_wdir: service " + name + ": "), std::string::npos)
      << unknown.errors;
}

#endif

}  // namespace
}  // namespace systemtest

}  // namespace qza
