#include "core/CommandLine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef QZA_VERSION
#error "QZA_VERSION must be defined by the build"
#endif

namespace {

constexpr char kUsage[] =
    "Usage: qza_wdir [--help | --version]\n"
    "Directory watcher and alarm launcher. Started without options in the directory\n"
    "that holds qza_wdir.ini and qzalarm.ini, it watches the spool directory named\n"
    "there, launches the installation's programs for alarm, fax, speech and watchdog\n"
    "files, and prints its account of events on standard output until SIGTERM,\n"
    "SIGINT or SIGHUP. Other arguments are ignored. See qza_wdir(8).\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n";

constexpr char kVersion[] = "qza_wdir " QZA_VERSION "\n";

// Writes `text` to standard output and ends the process with the outcome.
[[noreturn]] void Answer(const char* text) {
  const bool written = std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0;
  std::exit(written ? 0 : 1);
}

}  // namespace

void AnswerInformationOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) Answer(kUsage);
    if (std::strcmp(argv[i], "--version") == 0) Answer(kVersion);
  }
}
