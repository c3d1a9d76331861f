// The metrics file through the real binary: counters after a launch, a
// failure and a refusal, in a form that Prometheus reads (promtool, where it
// is installed, checks it too).
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "AlarmContent.h"
#include "system/ServiceFixture.h"

namespace qza {

namespace systemtest {
namespace {

// The samples of a metrics text by name and labels; false when a line is
// neither a comment nor "name[{labels}] value".
bool ParseSamples(const std::string& text, std::map<std::string, double>* samples) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t blank = line.rfind(' ');
    if (blank == std::string::npos) return false;
    char* end = nullptr;
    const double value = std::strtod(line.c_str() + blank + 1, &end);
    if (*end != '\0') return false;
    (*samples)[line.substr(0, blank)] = value;
  }
  return true;
}

class MetricsSystemTest : public ServiceTest {};

TEST_F(MetricsSystemTest, CountsLaunchesFailuresAndRefusalsInPrometheusTextFormat) {
  AddFakeProgram("QZARUN.CMD");  // no tovarin.exe: an Outlook start fails to launch
  WriteIni({{"WaitForSec", "1"}});
  testutil::WriteFile(Path("qza_wdir.ini"),
                      testutil::ReadFile(Path("qza_wdir.ini")) + "[Server]\nMetricsFile=metrics.prom\n");
  Service& service = Start();
  ASSERT_TRUE(service.WaitForOutput("Ready\n"));
  Drop("spool/qza1k3.in", testutil::AlarmContent({}));
  testutil::AlarmFields invalid;
  invalid.check_offset = 1;
  Drop("spool/qza1k4.in", testutil::AlarmContent(invalid));
  testutil::AlarmFields outlook;
  outlook.type = "OLSTART";
  Drop("spool/qza1k5.in", testutil::AlarmContent(outlook));
  std::map<std::string, double> samples;
  ASSERT_TRUE(testutil::WaitFor(
      [&] {
        samples.clear();
        return ParseSamples(testutil::ReadFile(Path("metrics.prom")), &samples) &&
               samples["qza_wdir_alarms_launched_total"] == 1 &&
               samples["qza_wdir_alarms_failed_total"] >= 1 &&
               samples["qza_wdir_alarms_refused_total{reason=\"invalid\"}"] >= 1;
      },
      20s))
      << testutil::ReadFile(Path("metrics.prom")) << service.Output();
  EXPECT_GT(samples["qza_wdir_last_alarm_launched_timestamp_seconds"], 1.7e9);
  EXPECT_EQ(samples["qza_wdir_pending_files"], 0);
  EXPECT_EQ(samples["qza_wdir_silent_consoles"], 0);
  EXPECT_EQ(samples["qza_wdir_build_info{version=\"" QZA_TEST_VERSION "\"}"], 1);
  EXPECT_GT(samples["qza_wdir_start_time_seconds"], 1.7e9);
  if (!testutil::kWindows && std::system("command -v promtool >/dev/null 2>&1") == 0) {
    const std::string check = "promtool check metrics < " + Path("metrics.prom") + " 2>&1";
    EXPECT_EQ(std::system(check.c_str()), 0) << "promtool refused the metrics file";
  }
}

}  // namespace
}  // namespace systemtest

}  // namespace qza
