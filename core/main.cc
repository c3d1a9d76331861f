// qza_wdir: the directory watcher and alarm launcher.
#include <cstdint>
#include <cstring>

#include "alarm/AlarmDispatch.h"
#include "core/CommandLine.h"
#include "core/Configuration.h"
#include "core/MetricsFile.h"
#include "core/WatchLoop.h"
#include "fax/FaxJob.h"
#include "platform/Clock.h"
#include "platform/Access.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/Instance.h"
#include "platform/Startup.h"
#include "platform/SystemdNotify.h"
#include "support/LaunchLedger.h"
#include "tts/TtsJob.h"
#include "watchdog/Watchdog.h"

namespace qza {

namespace {

constexpr char kTitle[] = "Directory watcher / Alarm launcher";
constexpr uint32_t kExitFlushMs = 2000;  // the account's last lines, at most this long
int exit_code = 0;

// Claims the installation; false when the service must not run.
bool ClaimInstallation() {
  platform::Result<platform::InstanceClaim> claim = platform::ClaimInstance();
  // A program that the previous instance was starting when it died holds a
  // copy of the claim until its exec, a moment later: wait that moment out.
  for (int retry = 0;
       retry < 10 && claim.ok() && claim.value() == platform::InstanceClaim::kHeldByAnother;
       ++retry) {
    platform::Sleep(100);
    claim = platform::ClaimInstance();
  }
  if (claim.ok()) {
    if (claim.value() == platform::InstanceClaim::kClaimed) return true;
    platform::Print("Directory watcher is already running.");
    return false;
  }
  // Running unguarded could launch every alarm twice.
  platform::PrintError("qza_wdir: the installation cannot be claimed through %s: %s\n",
                       platform::kInstanceLockFile, std::strerror(claim.status().error()));
  exit_code = 1;
  return false;
}

void ReportLeaseLimits(const Settings& settings) {
  if (!platform::LeasesWork(settings.WatchPath)) {
    platform::Print(
        "File leases do not work in %s: spool files are guarded by locks alone, so a writer "
        "must write under another name and rename the file into place\n",
        settings.WatchPath);
  } else if (!platform::CanLeaseFilesOfOthers()) {
    platform::Print(
        "This process cannot take leases on files of other users (it needs CAP_LEASE): such a "
        "spool file is guarded by locks alone, so a writer must write under another name and "
        "rename the file into place\n");
  }
}

}  // namespace

int Main(int argc, char** argv) {  // arguments other than the options are ignored
  AnswerInformationOptions(argc, argv);
  RunOperatorCommand(argc, argv);  // --check and the Windows service's commands
  const platform::Status prepared = platform::PrepareProcess();
  if (!prepared.ok()) {
    platform::PrintError("qza_wdir: the standard descriptors cannot be opened on /dev/null: %s\n",
                         std::strerror(prepared.error()));
    return 1;
  }
  const platform::Status handled = platform::InstallStopHandlers();
  if (!handled.ok()) {
    platform::PrintError("qza_wdir: stop signals cannot be handled: %s\n",
                         std::strerror(handled.error()));
  }
  if (!ClaimInstallation()) {
    platform::FlushConsole(kExitFlushMs);
    return exit_code;
  }
  platform::SetTerminalTitle(kTitle);
  platform::Print("Zelvano - Directory watcher / Alarm launcher\n\n");
  if (platform::RunsAsRoot()) {
    platform::Print("Running as root: the package's unit runs the service as the user "
                    "qza_wdir; speech is still written only below SVoxSettings/WavDirs\n");
  }
  // The settings and the handlers live until the process ends: a thread of a
  // handler (the speech lane's WAV worker, a suspension) may still run then.
  static Settings settings;
  LoadConfiguration(&settings);
  static LaunchLedger ledger;
  static ServiceMetrics metrics;
  static AlarmHandler alarms(settings, ledger, HandlerClock::System(), &metrics);
  static FaxHandler faxes(settings, ledger, HandlerClock::System(), &metrics);
  static SpeechLane speech(settings, HandlerClock::System(), kWavRetryIntervalMs, &metrics);
  static WatchdogHandler watchdog(settings);
  static MetricsFile metrics_file(settings, metrics, ledger, watchdog.supervision(),
                                  platform::Now(), QZA_VERSION);
  static WatchLoop loop(settings,
                        Handlers{&alarms, &faxes, &speech, &watchdog, &metrics_file});
  loop.CheckPatterns();
  ReportLeaseLimits(settings);
  ledger.Open(settings.SyncJournal != 0, platform::Now());
  loop.Start();  // watching before "Ready": a file dropped after it is seen
  platform::Print("Ready\n");
  metrics_file.Write(true);
  platform::NotifyReady();
  loop.FirstPass();
  ledger.EndDoubt();  // the files a damaged ledger may have covered are handled
  alarms.LearnArchiveNames();
  loop.Run();  // until a stop signal; the file in hand is finished
  platform::NotifyStopping();
  speech.Finish();  // the speech lane's entry in hand, too
  platform::Print("Stopped\n");
  platform::FlushConsole(kExitFlushMs);
  return 0;
}

}  // namespace qza

int main(int argc, char** argv) { return qza::Main(argc, argv); }
