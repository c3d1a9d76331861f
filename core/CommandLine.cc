#include "core/CommandLine.h"

#include "platform/Clock.h"
#include "support/LaunchLedger.h"
#include "support/Printable.h"

#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/Check.h"
#include "platform/Access.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/Service.h"

namespace qza {

#ifndef QZA_VERSION
#error "QZA_VERSION must be defined by the build"
#endif

namespace {

constexpr char kUsage[] =
    "Usage: qza_wdir [--help | --version | --check [DIR] | --pending [DIR]]\n"
    "       qza_wdir --install-service NAME DIR | --remove-service NAME   (Windows)\n"
    "Directory watcher and alarm launcher. Started without options in the directory\n"
    "that holds qza_wdir.ini and qzalarm.ini, it watches the spool directory named\n"
    "there, launches the installation's programs for alarm, fax, speech and watchdog\n"
    "files, and prints its account of events on standard output until SIGTERM,\n"
    "SIGINT or SIGHUP. Other arguments are ignored. See qza_wdir(8).\n"
    "\n"
    "  --help                        show this help and exit\n"
    "  --version                     show the version and exit\n"
    "  --check [DIR]                 check the installation in DIR (default: here)\n"
    "                                as the service would run it, writing nothing;\n"
    "                                exit 0 when nothing is wrong, 1 otherwise\n"
    "  --pending [DIR]               list the spool files launched but not archived\n"
    "                                or deleted; exit 0 when there is none, 1 otherwise\n"
    "  --install-service NAME DIR    register the Windows service NAME that runs\n"
    "                                the watcher in DIR\n"
    "  --remove-service NAME         stop and remove the Windows service NAME\n";

constexpr char kVersion[] = "qza_wdir " QZA_VERSION "\n";

// Writes `text` to standard output and ends the process with the outcome.
[[noreturn]] void Answer(const char* text) {
  const bool written = std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0;
  std::exit(written ? 0 : 1);
}

// Ends the process with status 2 when fewer than `needed` arguments follow
// the option at `at`.
void RequireArguments(int argc, char** argv, int at, int needed, const char* names) {
  if (argc - at - 1 >= needed) return;
  platform::PrintError(platform::Priority::kWarning, "qza_wdir: %s needs %s\n", argv[at], names);
  std::exit(2);
}

// Ends the process with the outcome of a service registration.
[[noreturn]] void EndServiceCommand(const platform::Status& status, const char* done,
                                    const char* name) {
  if (status.ok()) {
    platform::Print("%s %s\n", done, name);
    std::exit(0);
  }
  if (status.error() == ENOSYS) {
    platform::PrintError("qza_wdir: Windows services exist on Windows only; here systemd runs "
                         "the service with the unit qza_wdir@.service\n");
  } else {
    platform::PrintError("qza_wdir: service %s: %s\n", name, status.reason());
  }
  std::exit(1);
}

}  // namespace

// Lists the spool files that the ledger in `directory` (null: here) holds as
// launched and not archived or deleted. 0: nothing pending; 1: files are
// pending; 2: the ledger cannot be read.
int RunPending(const char* directory) {
  if (directory != nullptr) {
    if (const platform::Status status = platform::ChangeWorkingDirectory(directory); !status) {
      platform::PrintError("qza_wdir: cannot enter %s: %s\n", directory, status.reason());
      return 2;
    }
  }
  std::vector<LedgerRecord> records;
  std::string damage;
  if (!LaunchLedger::Read(LaunchLedger::kFileName, &records, &damage)) {
    std::printf("The ledger %s cannot be read: %s. The service moves it aside at its next "
                "start and says which launches may be repeats.\n",
                LaunchLedger::kFileName, damage.c_str());
    return 2;
  }
  if (records.empty()) {
    std::printf("Nothing is pending: every launched alarm and fax job was archived or "
                "deleted.\n");
    return 0;
  }
  for (const LedgerRecord& r : records) {
    const struct tm t = platform::LocalTime(r.time);
    const bool alarm = r.kind == LedgerRecord::Kind::kAlarm;
    const bool left = r.state == LedgerRecord::State::kLeft;
    std::printf("%04d-%02d-%02d %02d:%02d:%02d  %s  %s%s%s\n    %s\n", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                alarm ? "alarm  " : "fax job", Printable(r.path.c_str()).c_str(),
                r.archive.empty() ? "" : "  archive name ",
                Printable(r.archive.c_str()).c_str(),
                left ? (alarm ? "launched, could not be archived: left for the operator, never "
                                "launched again while it stays"
                              : "launched, could not be deleted: left for the operator, never "
                                "faxed again while it stays")
                     : "was being launched when the service stopped: launched again at its "
                       "next start, said to be a possible repeat");
  }
  std::printf("%zu file%s pending. Look at the file, fix what kept it in the spool, then "
              "archive or remove it by hand; the service forgets it once it is gone.\n",
              records.size(), records.size() == 1 ? "" : "s");
  return 1;
}

void RunOperatorCommand(int argc, char** argv) {
  if (argc < 2) return;
  const char* option = argv[1];
  if (std::strcmp(option, "--pending") == 0) {
    std::exit(RunPending(argc > 2 ? argv[2] : nullptr));
  }
  if (std::strcmp(option, "--check") == 0) {
    std::exit(RunCheck(argc > 2 ? argv[2] : nullptr));
  }
  if (std::strcmp(option, "--install-service") == 0) {
    RequireArguments(argc, argv, 1, 2, "a service name and an installation directory");
    EndServiceCommand(platform::InstallService(argv[2], argv[3]), "Installed the service", argv[2]);
  }
  if (std::strcmp(option, "--remove-service") == 0) {
    RequireArguments(argc, argv, 1, 1, "a service name");
    EndServiceCommand(platform::RemoveService(argv[2]), "Removed the service", argv[2]);
  }
  if (std::strcmp(option, "--run-service") == 0) {
    RequireArguments(argc, argv, 1, 2, "a service name and an installation directory");
    if (const platform::Status status = platform::ChangeWorkingDirectory(argv[3]); !status) {
      platform::PrintError("qza_wdir: cannot enter %s: %s\n", argv[3], status.reason());
      std::exit(1);
    }
    const platform::Status connected = platform::ConnectService(argv[2]);
    if (!connected.ok()) {
      platform::PrintError("qza_wdir: cannot run as the service %s: %s\n", argv[2],
                           connected.reason());
      std::exit(1);
    }
  }
}

void AnswerInformationOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) Answer(kUsage);
    if (std::strcmp(argv[i], "--version") == 0) Answer(kVersion);
  }
}

}  // namespace qza
