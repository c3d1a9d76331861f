// Starts the command line of its arguments detached, prints the child's pid
// and then waits to be killed: the test kills it and checks the child.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/CProcess.h"

int main(int argc, char** argv) {
  std::string command_line;
  for (int i = 1; i < argc; ++i) command_line += std::string(i > 1 ? " " : "") + argv[i];
  CProcess process(command_line.c_str());
  if (!process.Run(0, 1)) return 1;
  std::printf("%ld\n", process.ProcessHandle());
  std::fflush(stdout);
  process.Detach();
  for (;;) pause();
}
