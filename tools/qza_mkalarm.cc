// qza_mkalarm: writes one valid alarm file into a spool directory.
//
// The file is written under a hidden temporary name in the spool directory and
// renamed into place only when it is complete, so the watcher never reads it
// half-written. An alarm file of the same name that is still waiting is never
// replaced. The temporary name is random and made anew when it is taken, so
// another writer of the spool can neither foresee it nor block it with a file
// or link planted in its way.
#include <getopt.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "alarm/AlarmFile.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"

namespace qza {

namespace {

constexpr char kUsage[] =
    "Usage: qza_mkalarm [options]\n"
    "Writes a valid alarm file (twenty CR LF lines with its check value) into a\n"
    "spool directory: under a temporary name first, then renamed into place.\n"
    "\n"
    "  -t, --type TYPE         alarm type: PROBE, ALARM or OLSTART (default PROBE)\n"
    "  -g, --group GROUP       alarm group, first argument of the alarm command\n"
    "  -x, --text TEXT         alarm text (line 6); written to the message file\n"
    "  -i, --console-id ID     console id (line 8); the default console name is\n"
    "                          Console_ID when no console name is given\n"
    "  -n, --console-name NAME console name (line 12)\n"
    "  -m, --message-id ID     message id (line 18), second argument of the command\n"
    "                          and name of the message file\n"
    "  -s, --server N          server number (default 1)\n"
    "  -c, --console DIGIT     console digit 0-9 (default 1)\n"
    "  -d, --dir DIR           spool directory (default: the working directory)\n"
    "  -f, --file NAME         file name (default qza<server>k<console>.in)\n"
    "  -h, --help              show this help and exit\n"
    "  -V, --version           show the version and exit\n"
    "\n"
    "Fields must stay within the limits of the format: text and console name 127\n"
    "characters, console id 31, message id 39, every line 253, all fields together\n"
    "475, and the alarm command with its archive name 255 (the archive name is\n"
    "counted as DIR/.\\YYMM_<server>NN.alr, for a service with UseVoxFile=0 whose\n"
    "WatchPath is DIR).\n";

struct Fields {
  std::string type = "PROBE";
  std::string group, text, console_id, console_name, message_id;
  int server = 1;
  std::string console = "1";
  std::string dir = ".";
  std::string file;
};

// Writes an answer to --help or --version and ends the process: status 0, or 1
// when standard output cannot be written.
[[noreturn]] void Answer(const char* text) {
  const bool written = std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0;
  std::exit(written ? 0 : 1);
}

bool ParseArguments(int argc, char** argv, Fields* fields) {
  static const struct option kOptions[] = {
      {"type", required_argument, nullptr, 't'},
      {"group", required_argument, nullptr, 'g'},
      {"text", required_argument, nullptr, 'x'},
      {"console-id", required_argument, nullptr, 'i'},
      {"console-name", required_argument, nullptr, 'n'},
      {"message-id", required_argument, nullptr, 'm'},
      {"server", required_argument, nullptr, 's'},
      {"console", required_argument, nullptr, 'c'},
      {"dir", required_argument, nullptr, 'd'},
      {"file", required_argument, nullptr, 'f'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0}};
  int option;
  while ((option = getopt_long(argc, argv, "t:g:x:i:n:m:s:c:d:f:hV", kOptions, nullptr)) != -1) {
    switch (option) {
      case 't': fields->type = optarg; break;
      case 'g': fields->group = optarg; break;
      case 'x': fields->text = optarg; break;
      case 'i': fields->console_id = optarg; break;
      case 'n': fields->console_name = optarg; break;
      case 'm': fields->message_id = optarg; break;
      case 's': fields->server = std::atoi(optarg); break;
      case 'c': fields->console = optarg; break;
      case 'd': fields->dir = optarg; break;
      case 'f': fields->file = optarg; break;
      case 'h': Answer(kUsage);
      case 'V': Answer("qza_mkalarm " QZA_VERSION "\n");
      default: return false;
    }
  }
  return optind == argc;
}

// The length of the command that the service starts for these fields: the
// program, group, message id, "0" (UseVoxFile=0), the console name (or
// Console_ and the id) and the archive name in the spool directory.
size_t CommandLength(const Fields& f) {
  const std::string program = strcasecmp(f.type.c_str(), "OLSTART") == 0 ? "tovarin.exe" : "QZARUN.CMD";
  const std::string console =
      f.console_name.empty() ? "Console_" + f.console_id : f.console_name;
  const std::string archive =
      f.dir + "/.\\YYMM_" + std::to_string(f.server) + "NN.alr";
  return program.size() + 1 + f.group.size() + 1 + f.message_id.size() + 1 + 1 + 1 +
         console.size() + 1 + archive.size();
}

// Names the first field that breaks a limit of the format, or null.
const char* BrokenLimit(const Fields& f) {
  struct {
    const std::string* value;
    size_t max;
    const char* name;
  } const checks[] = {{&f.type, kAlarmLineMax, "type"},
                      {&f.group, kAlarmLineMax, "group"},
                      {&f.text, kAlarmTextMax, "text"},
                      {&f.console_id, kAlarmConsoleIdMax, "console id"},
                      {&f.console_name, kAlarmConsoleNameMax, "console name"},
                      {&f.message_id, kAlarmMessageIdMax, "message id"}};
  for (const auto& check : checks) {
    if (check.value->size() > check.max) return check.name;
    if (check.value->find_first_of("\r\n") != std::string::npos) return check.name;
  }
  size_t together = 0;
  for (const auto& check : checks) together += check.value->size();
  if (together > kAlarmChecksumLinesMax) return "sum of all fields";
  if (CommandLength(f) > kAlarmCommandMax) return "alarm command with its archive name";
  return nullptr;
}

std::string AlarmFileContent(const Fields& f) {
  return ComposeAlarmFile(AlarmFileLines(
      {f.type, f.group, f.text, f.console_id, f.console_name, f.message_id}));
}

}  // namespace

int Main(int argc, char** argv) {
  Fields fields;
  if (!ParseArguments(argc, argv, &fields)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (const char* broken = BrokenLimit(fields)) {
    std::fprintf(stderr, "qza_mkalarm: the %s is too long or holds a line end; the service would "
                         "refuse the file\n", broken);
    return 2;
  }
  if (fields.file.empty()) {
    fields.file = "qza" + std::to_string(fields.server) + "k" + fields.console + ".in";
  }
  const std::string target = fields.dir + "/" + fields.file;
  const std::string content = AlarmFileContent(fields);
  std::string temp;
  const platform::Result<int> created =
      platform::CreateUniqueFile(fields.dir.c_str(), ".qza_mkalarm.", &temp);
  if (!created.ok()) {
    std::fprintf(stderr, "qza_mkalarm: cannot create a temporary file in %s: %s\n",
                 fields.dir.c_str(), std::strerror(created.status().error()));
    return 1;
  }
  const platform::Status written =
      platform::FileWrite(created.value(), content.data(), content.size()).status();
  const platform::Status closed = platform::FileClose(created.value());
  if (!written.ok() || !closed.ok()) {
    std::fprintf(stderr, "qza_mkalarm: cannot write %s: %s\n", temp.c_str(),
                 std::strerror(written.ok() ? closed.error() : written.error()));
    (void)platform::RemoveFile(temp.c_str());  // the failure above is what counts
    return 1;
  }
  if (const platform::Status renamed = platform::RenameFile(temp.c_str(), target.c_str());
      !renamed.ok()) {
    std::fprintf(stderr,
                 "qza_mkalarm: cannot rename into %s: %s (an alarm file of that name may "
                 "still be waiting)\n",
                 target.c_str(), std::strerror(renamed.error()));
    (void)platform::RemoveFile(temp.c_str());  // the failure above is what counts
    return 1;
  }
  return 0;
}

}  // namespace qza

int main(int argc, char** argv) { return qza::Main(argc, argv); }
