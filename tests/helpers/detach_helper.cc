// Starts the command line of its arguments detached, prints the child's pid
// and then waits to be killed: the test kills it and checks the child.
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "support/CProcess.h"
#include "WaitToBeEnded.h"

namespace qza {

int Main(int argc, char** argv) {
  std::string command_line;
  for (int i = 1; i < argc; ++i) command_line += std::string(i > 1 ? " " : "") + argv[i];
  CProcess process(command_line.c_str());
  if (!process.Run(0, 1)) return 1;
#ifdef _WIN32
  // The handle is this process's own: the test needs the child's id.
  std::printf("%lu\n", GetProcessId(reinterpret_cast<HANDLE>(process.ProcessHandle())));
#else
  std::printf("%ld\n", static_cast<long>(process.ProcessHandle()));
#endif
  std::fflush(stdout);
  process.Detach();
  WaitToBeEnded();
}

}  // namespace qza

int main(int argc, char** argv) { return qza::Main(argc, argv); }
