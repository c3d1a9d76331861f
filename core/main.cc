// qza_wdir: the directory watcher and alarm launcher.
#include "alarm/AlarmDispatch.h"
#include "core/CommandLine.h"
#include "core/Configuration.h"
#include "core/WatchLoop.h"
#include "fax/FaxJob.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/Instance.h"
#include "tts/TtsJob.h"
#include "watchdog/Watchdog.h"

namespace {

constexpr char kTitle[] = "Directory watcher / Alarm launcher";

const Handlers kHandlers = {&ProcessAlarmFile, &ProcessFaxJob, &ProcessTtsJob,
                            &ClearWatchdogFile, &CheckConsoles};

}  // namespace

int main(int argc, char** argv) {  // arguments other than --help and --version are ignored
  AnswerInformationOptions(argc, argv);
  platform::IgnoreServiceSignals();
  if (!platform::ClaimSingleInstance()) {
    platform::Print("Directory watcher is already running.");
    return 0;
  }
  platform::SetConsoleTitle(kTitle);
  platform::Print("Zelvano - Directory watcher / Alarm launcher\n\n");
  LoadConfiguration();
  static WatchLoop loop(kHandlers);
  loop.CheckPatterns();
  if (!platform::LeasesWork(g_settings.WatchPath)) {
    platform::Print(
        "File leases do not work in %s: spool files are guarded by locks alone, so a writer "
        "must write under another name and rename the file into place\n",
        g_settings.WatchPath);
  }
  platform::Print("Ready\n");
  loop.Start();
  loop.Run();
}
