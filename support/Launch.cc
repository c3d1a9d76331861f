#include "support/Launch.h"

#include <errno.h>

#include "platform/Console.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "support/CProcess.h"
#include "support/Printable.h"

namespace qza {

namespace {

// Reports a launch that failed with `error` (0: the reason is unknown).
int LaunchFailed(const std::string& printable, int error) {
  if (error == 0) error = ENOENT;
  platform::Print("FAILED to launch [%s]: %s\r\n", printable.c_str(), platform::ErrorText(error));
  platform::PrintError("qza_wdir: FAILED to launch [%s]: %s\n", printable.c_str(),
                       platform::ErrorText(error));
  return error;
}

}  // namespace

int LaunchDetached(const char* command_line) {
  const std::string printable = Printable(command_line);
  platform::Print("launching [%s]\r\n", printable.c_str());
  CProcess process(command_line);
  if (process.Run(0, 1)) {
    process.Detach();
    return 0;
  }
  return LaunchFailed(printable, process.LastError());
}

int LaunchDetached(const char* command_line, const std::vector<std::string>& arguments) {
  const std::string printable = Printable(command_line);
  platform::Print("launching [%s]\r\n", printable.c_str());
  // As CProcess::Run(0, 1) and Detach do for a command line.
  platform::SpawnOptions options;
  options.new_session = true;
  platform::Result<platform::Child> started = platform::SpawnArguments(arguments, options);
  if (!started.ok()) return LaunchFailed(printable, started.status().error());
  platform::DetachChild(started.value());
  return 0;
}

}  // namespace qza
