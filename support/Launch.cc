#include "support/Launch.h"

#include <errno.h>

#include "platform/Console.h"
#include "platform/File.h"
#include "support/CProcess.h"
#include "support/Printable.h"

int LaunchDetached(const char* command_line) {
  const std::string printable = Printable(command_line);
  platform::Print("launching [%s]\r\n", printable.c_str());
  CProcess process(command_line);
  if (process.Run(0, 1)) {
    process.Detach();
    return 0;
  }
  const int error = process.LastError() != 0 ? process.LastError() : ENOENT;
  platform::Print("FAILED to launch [%s]: %s\r\n", printable.c_str(), platform::ErrorText(error));
  return error;
}
