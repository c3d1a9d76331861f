// qza_wdir --check against a good installation and a table of broken ones,
// one fault each, with the real binary.
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <functional>
#include <utility>

#include "platform/Access.h"
#include "system/ServiceFixture.h"

namespace qza {

namespace systemtest {
namespace {

struct CheckRun {
  int status = -1;
  std::string output;
  std::string errors;
};

// A complete installation in a fresh directory: the test ini files with an
// absolute SvoxPath, every program of the installation, and nothing written
// by others.
class Installation {
 public:
  Installation() {
    for (const char* sub : {"bin", "spool", "ack", "db", "ttslog", "svox"}) {
      testutil::MakeDirectory(Path(sub));
    }
    for (const char* program : {"QZARUN.CMD", "tovarin.exe", "QZ_DOFAX.BAT"}) {
      AddProgram(program);
    }
    EXPECT_TRUE(testutil::MakeRecordingProgram(Path("svox"), "svox.exe", Path("calls.log")));
    WriteIni({});
    testutil::WriteFile(Path("qzalarm.ini"), "[qzawrdb]\nDbPath=db/\n");
  }

  std::string Path(const std::string& relative) const { return dir_ / relative; }
  const std::string& Dir() const { return dir_.path(); }

  void AddProgram(const std::string& name) {
    EXPECT_TRUE(testutil::MakeRecordingProgram(Path("bin"), name, Path("calls.log"))) << name;
  }

  // qza_wdir.ini with every key set, with `changes` applied (an empty value
  // removes the key).
  void WriteIni(const std::map<std::string, std::string>& changes) {
    const std::string svox = testutil::AbsolutePath(Path("svox")) + "/";
    const std::pair<const char*, std::string> rows[] = {
        {"[Server]", ""},
        {"Number", "1"},
        {"NeedOneConsOf", ""},
        {"NeedAllConsOf", ""},
        {"WaitForSec", "30"},
        {"SleepAfterError", "1200"},
        {"PollSec", "0"},
        {"[Pathnames]", ""},
        {"WatchPath", "spool/"},
        {"AckPath", "ack/"},
        {"WatchFiles", "spool/qza%ik?.in"},
        {"WatchDogFiles", "spool/qza%ik?.dog"},
        {"WatchJobFiles", "spool/qz*.job"},
        {"JobPath", "spool/"},
        {"WatchTtsFiles", "spool/qz*.tts"},
        {"TtsPath", "spool/"},
        {"TtsLogPath", "ttslog/"},
        {"SvoxPath", svox},
        {"[Alarm]", ""},
        {"UseVoxFile", "0"},
        {"[SVoxSettings]", ""},
        {"Voice", "judith8"},
        {"Speed", "100"},
        {"Pitch", "100"},
        {"MaxSeconds", "60"},
    };
    std::string ini;
    for (const auto& [key, preset] : rows) {
      if (key[0] == '[') {
        ini += std::string(key) + "\n";
        continue;
      }
      std::string value = preset;
      if (auto change = changes.find(key); change != changes.end()) {
        if (change->second.empty()) continue;
        value = change->second;
      }
      ini += std::string(key) + "=" + value + "\n";
    }
    testutil::WriteFile(Path("qza_wdir.ini"), ini);
  }

  // Runs qza_wdir --check DIR from another working directory.
  CheckRun Check() {
    const std::string system_path =
        testutil::kWindows ? testutil::GetEnvironment("PATH") : "/usr/bin:/bin";
    StartOptions options;
    options.arguments = {"--check", testutil::AbsolutePath(dir_.path())};
    options.capture_errors = true;
    Service service(elsewhere_.path(), Path("bin") + testutil::kPathListSeparator + system_path,
                    true, options);
    CheckRun run;
    run.status = service.WaitForExit(30s);
    run.output = service.Output();
    run.errors = service.Errors();
    return run;
  }

  // Every file below the installation with its size, to tell that nothing
  // was written.
  std::string Listing() const {
    std::string listing;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path())) {
      listing += entry.path().string();
      if (entry.is_regular_file()) listing.append(" ").append(std::to_string(entry.file_size()));
      listing += "\n";
    }
    return listing;
  }

 private:
  testutil::TempDir dir_;
  testutil::TempDir elsewhere_;  // the working directory of the check
};

bool Chmod(const std::string& path, int mode) {
  return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

TEST(CheckSystemTest, GoodInstallationPassesAndNothingIsWritten) {
  Installation installation;
  // Keys missing from the ini file take their defaults, which the service
  // would write back; the check writes nothing.
  installation.WriteIni({{"Voice", ""}, {"Speed", ""}});
  const std::string ini = testutil::ReadFile(installation.Path("qza_wdir.ini"));
  const std::string before = installation.Listing();
  const CheckRun run = installation.Check();
  EXPECT_EQ(run.status, 0) << run.output << run.errors;
  EXPECT_EQ(run.errors, "");
  EXPECT_NE(run.output.find(" Pathnames/AckPath=ack/\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(" SVoxSettings/Voice=judith8\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(" qzawrdb/DbPath=db/\n"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.substr(run.output.size() - std::min<size_t>(run.output.size(), 18)),
            "No problems found\n");
  EXPECT_EQ(testutil::ReadFile(installation.Path("qza_wdir.ini")), ini);
  EXPECT_EQ(installation.Listing(), before);
}

struct BrokenCase {
  const char* fault;
  std::map<std::string, std::string> ini;   // changes to the good ini file
  std::function<bool(Installation&)> harm;  // false: cannot be made here
  const char* line;                         // the problem line, with USER for the checking user
  bool posix_only = false;
};

TEST(CheckSystemTest, EachFaultOfABrokenInstallationIsNamedWithWhatToDo) {
  const std::string user = platform::ProcessUserName();
#ifndef _WIN32
  const bool root = geteuid() == 0;
#else
  const bool root = false;
#endif
  const BrokenCase cases[] = {
      {"record directory missing",
       {{"AckPath", "missing/"}},
       nullptr,
       "Pathnames/AckPath=missing/ does not exist: create it, owned by USER"},
      {"record directory is a file",
       {{"TtsLogPath", "ttsfile"}},
       [](Installation& i) {
         testutil::WriteFile(i.Path("ttsfile"), "");
         return true;
       },
       "Pathnames/TtsLogPath=ttsfile is not a directory: name a directory"},
      {"spool directory not writable",
       {},
       [](Installation& i) { return Chmod(i.Path("spool"), 0555); },
       "Pathnames/WatchPath=spool/ is not writable by USER: give USER read, write and search "
       "permission on it",
       true},
      {"alarm program missing",
       {},
       [](Installation& i) { return std::remove(i.Path("bin/QZARUN.CMD").c_str()) == 0; },
       "QZARUN.CMD (alarms) is not found beside qza_wdir, in the installation directory or "
       "along PATH (No such file or directory): install it there"},
      {"fax program not executable",
       {},
       [](Installation& i) { return Chmod(i.Path("bin/QZ_DOFAX.BAT"), 0644); },
       "QZ_DOFAX.BAT (fax jobs) is found but not executable by USER: make it executable",
       true},
      {"warning program missing for a console list",
       {{"NeedOneConsOf", "1,2"}},
       nullptr,
       "QZA_WARN.CMD (Server/NeedOneConsOf) is not found beside qza_wdir, in the installation "
       "directory or along PATH (No such file or directory): install it there"},
      {"job pattern outside JobPath",
       {{"WatchJobFiles", "ack/qz*.job"}},
       nullptr,
       "Pathnames/WatchJobFiles=ack/qz*.job lies outside Pathnames/JobPath=spool/: the files it "
       "finds are handled under that directory; put the pattern in it"},
      {"alarm pattern with a width",
       {{"WatchFiles", "spool/qza%02ik?.in"}},
       nullptr,
       "Pathnames/WatchFiles=spool/qza%02ik?.in holds a conversion other than one plain %i or "
       "%d (a width or precision is refused too): the service refuses it and scans no such "
       "files; write the server number as %i"},
      {"alarm pattern with a flag",
       {{"WatchFiles", "spool/qza%+ik?.in"}},
       nullptr,
       "Pathnames/WatchFiles=spool/qza%+ik?.in has a flag in its conversion: the number then "
       "moves the console digit from the sixth character; write %i alone"},
      {"watchdog pattern with a text conversion",
       {{"WatchDogFiles", "spool/qza%sk?.dog"}},
       nullptr,
       "Pathnames/WatchDogFiles=spool/qza%sk?.dog holds a conversion other than one plain %i "
       "or %d (a width or precision is refused too): the service refuses it and scans no such "
       "files; write the server number as %i"},
      {"relative synthesiser directory",
       {{"SvoxPath", "svox/"}},
       nullptr,
       "Pathnames/SvoxPath=svox/ is relative: the synthesiser runs there; name it absolutely"},
      {"time-out of zero",
       {{"WaitForSec", "0"}},
       nullptr,
       "Server/WaitForSec=0 is out of range (the service takes 1 instead): set 1 to 4294967 "
       "seconds"},
      {"ini file that is none", {},
       [](Installation& i) {
         const char text[] = "[qzawrdb]\nDbPath=db/\n; a NUL \0 byte\n";
         testutil::WriteFile(i.Path("qzalarm.ini"), std::string(text, sizeof text - 1));
         return true;
       },
       "qzalarm.ini holds a NUL byte: it is no ini file as the service reads one; write it anew"},
      {"no message file directory",
       {},
       [](Installation& i) { return std::remove(i.Path("qzalarm.ini").c_str()) == 0; },
       "qzalarm.ini gives no [qzawrdb] DbPath: message files would be written into the "
       "installation directory; name the message file directory there"},
      {"record directory writable by every user",
       {},
       [](Installation& i) { return Chmod(i.Path("ack"), 0777); },
       "Pathnames/AckPath=ack/ can be written by every user: the directories of its records "
       "must be writable by USER and root only (chown it to the service's user, remove group "
       "and other write permission)",
       true},
      {"record directory of two keys writable by every user",
       {{"TtsLogPath", "ack/"}},
       [](Installation& i) { return Chmod(i.Path("ack"), 0777); },
       "Pathnames/AckPath=ack/ can be written by every user: the directories of its records "
       "must be writable by USER and root only (chown it to the service's user, remove group "
       "and other write permission)",
       true},
      {"ini file writable by every user",
       {},
       [](Installation& i) { return Chmod(i.Path("qza_wdir.ini"), 0666); },
       "qza_wdir.ini can be written by every user: the ini files must be writable by USER and "
       "root only (chown it to the service's user, remove group and other write permission)",
       true},
      {"program writable by another group",
       {},
       [root](Installation& i) {
         const std::string program = i.Path("bin/QZARUN.CMD");
#ifndef _WIN32
         return root && chown(program.c_str(), static_cast<uid_t>(-1), 4242) == 0 &&
                Chmod(program, 0775);
#else
         return root && !program.empty();
#endif
       },
       "QZARUN.CMD at DIR/bin/QZARUN.CMD can be written by the group gid 4242: the programs it "
       "runs must be writable by USER and root only (chown it to the service's user, remove "
       "group and other write permission)",
       true},
  };
  for (const BrokenCase& c : cases) {
    SCOPED_TRACE(c.fault);
    if (c.posix_only && testutil::kWindows) continue;
    Installation installation;
    installation.WriteIni(c.ini);
    if (c.harm && !c.harm(installation)) {
      std::printf("[ SKIPPED  ] %s: cannot be made by this user\n", c.fault);
      continue;
    }
    std::string line = c.line;
    for (const auto& [name, value] :
         {std::pair<std::string, std::string>{"USER", user}, {"DIR", installation.Dir()}}) {
      for (size_t at = line.find(name); at != std::string::npos; at = line.find(name, at)) {
        line.replace(at, name.size(), value);
      }
    }
    const CheckRun run = installation.Check();
    EXPECT_EQ(run.status, 1) << run.output << run.errors;
    const std::string errors = run.errors;
    // One fault, one line.
    EXPECT_EQ(errors, "PROBLEM: " + line + "\n");
    EXPECT_NE(run.output.find("1 problem found"), std::string::npos) << run.output;
  }
}

TEST(CheckSystemTest, DirectoryThatCannotBeEnteredFails) {
  Installation installation;
  StartOptions options;
  options.arguments = {"--check", installation.Path("missing")};
  options.capture_errors = true;
  Service service(installation.Path("spool"), "/usr/bin:/bin", true, options);
  EXPECT_EQ(service.WaitForExit(30s), 1);
  if (!testutil::kWindows) {
    EXPECT_EQ(service.Errors(), "qza_wdir --check: cannot enter " + installation.Path("missing") +
                                    ": No such file or directory\n");
  }
}

}  // namespace
}  // namespace systemtest

}  // namespace qza
