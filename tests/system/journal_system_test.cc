// Lines on standard error carry their syslog priority when standard error is
// the journal, and only then; standard output is the same account either way.
#include <filesystem>

#include "AlarmContent.h"
#include "system/ServiceFixture.h"

namespace qza {

namespace systemtest {
namespace {

using JournalSystemTest = ServiceTest;

// The line of `text` that holds `needle`, without its line end; empty when none does.
std::string LineWith(const std::string& text, const std::string& needle) {
  const size_t at = text.find(needle);
  if (at == std::string::npos) return "";
  const size_t start = text.rfind('\n', at);
  const size_t begin = start == std::string::npos ? 0 : start + 1;
  return text.substr(begin, text.find('\n', at) - begin);
}

struct JournalCase {
  const char* name;
  bool journal_stream;  // JOURNAL_STREAM names the service's standard error
  const char* prefix;   // before each line of a failure on standard error
  const char* warning;  // before each line of a refusal on standard error
};

// An alarm whose records cannot be written (AckPath missing) and a fax job
// whose program is missing: the account says so on standard output, and each
// failure has a line on standard error. So have an alarm file that is no
// alarm and a spool entry passed over, at a warning's priority.
TEST_F(JournalSystemTest, FailuresAndRefusalsOnStandardErrorCarryTheirPriorityOnlyForTheJournal) {
  const JournalCase cases[] = {
      {"journal", true, "<3>", "<4>"},
      {"plain stream", false, "", ""},
  };
  for (const JournalCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.journal_stream && testutil::kWindows) continue;  // no journal there
    WriteIni({{"AckPath", "missing/"}});
    AddFakeProgram("QZARUN.CMD");
    // A link, met by the first pass, is passed over (Wine makes none that a Windows program follows).
    const bool link = !testutil::kWindows;
    if (link) {
      ASSERT_TRUE(testutil::MakeSymlink(Path("db"), Path("spool/qza1k5.in")));
    }
    StartOptions options;
    options.capture_errors = true;
    options.journal_stream = c.journal_stream;
    Service& service = Start(true, options);
    ASSERT_TRUE(service.WaitForOutput("Ready\n"));
    Drop("spool/qza1k3.in", testutil::AlarmContent({}));
    ASSERT_TRUE(service.WaitForOutput("Acknowledge FAILED\n"));
    ASSERT_TRUE(service.WaitForOutput("ERROR: Log file could not be created\n"));
    Drop("spool/qz1.job", "0711 1234\r\nDr. Muster\r\ncover.tif\r\nfine\r\n");
    ASSERT_TRUE(service.WaitForOutput("FAILED to launch [QZ_DOFAX.BAT"));
    const std::string prefix = c.prefix;
    ASSERT_TRUE(testutil::WaitFor(
        [&] {
          return service.Errors().find(prefix + "qza_wdir: FAILED to launch [QZ_DOFAX.BAT") !=
                 std::string::npos;
        },
        10s))
        << service.Errors();
    Drop("spool/qza1k4.in", "no alarm\r\n\r\n");
    const std::string warning = c.warning;
    ASSERT_TRUE(testutil::WaitFor(
        [&] {
          const std::string errors = service.Errors();
          return errors.find(warning + "qza_wdir: alarm file '") != std::string::npos &&
                 (!link || errors.find(warning + "qza_wdir: Spool entry '") != std::string::npos);
        },
        10s))
        << service.Errors();
    const std::string errors = service.Errors();
    EXPECT_EQ(LineWith(errors, "qza1k4.in' not launched: it is not a valid alarm file")
                  .rfind(warning + "qza_wdir: alarm file 'spool/", 0),
              0u)
        << errors;
    if (link) {
      EXPECT_EQ(LineWith(errors, "qza1k5.in' passed over: a symbolic link"),
                warning + "qza_wdir: Spool entry 'spool/qza1k5.in' passed over: a symbolic link")
          << errors;
    }
    // The alarm was launched and archived: the records name its archive.
    EXPECT_EQ(LineWith(errors, ": acknowledgement not written")
                  .rfind(prefix + "qza_wdir: spool/.\\" + YearMonth() + "_1", 0),
              0u)
        << errors;
    EXPECT_EQ(LineWith(errors, "log line not written")
                  .rfind(prefix + "qza_wdir: log line not written: missing/.\\qza_" + YearMonth() +
                             ".log cannot be created: ",
                         0),
              0u)
        << errors;
    if (!c.journal_stream) {
      EXPECT_EQ(errors.find("<3>"), std::string::npos) << errors;
    }
    // The account on standard output never carries a prefix.
    EXPECT_EQ(service.Output().find("<"), std::string::npos) << service.Output();
    service_.reset();
    testutil::WriteFile(Path("calls.log"), "");
    std::remove(Path("spool/qz1.job").c_str());  // left in the spool for a later pass
    std::filesystem::remove(Path("spool/qza1k5.in"));
  }
}

}  // namespace
}  // namespace systemtest

}  // namespace qza
