// The fake installation program of the Windows tests. Each call appends one
// line "NAME [arg1] [arg2]…" to a log, as the shell scripts of the Linux tests
// do, so that the same expectations hold on both platforms.
//
//   recorder --log <file> --as <NAME> [args…]   as a .CMD or .BAT calls it
//   <name>.exe [args…]                          a copy of this program, which
//                                               reads its log's path from the
//                                               file <name>.exe.record beside it
//
// The arguments are those the C run-time split from the command line. Exits 0,
// or 120 when the log cannot be written.
#include <cstdio>
#include <cstring>
#include <string>

#include <windows.h>

#include "../helpers/AppendLine.h"

namespace qza {

namespace {

// The full path of this program.
std::string OwnPath() {
  char buffer[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  return n == 0 || n >= sizeof buffer ? std::string() : std::string(buffer, n);
}

// The first line of `path`, without its line end; empty when unreadable.
std::string FirstLine(const std::string& path) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return std::string();
  char line[MAX_PATH * 2] = {};
  if (std::fgets(line, sizeof line, in) == nullptr) line[0] = '\0';
  std::fclose(in);
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

int Main(int argc, char** argv) {
  std::string log, name;
  int first = 1;
  if (argc >= 5 && std::strcmp(argv[1], "--log") == 0 && std::strcmp(argv[3], "--as") == 0) {
    log = argv[2];
    name = argv[4];
    first = 5;
  } else {
    const std::string self = OwnPath();
    name = self.substr(self.find_last_of("\\/") + 1);
    log = FirstLine(self + ".record");
  }
  std::string line = name;
  for (int i = first; i < argc; ++i) line += std::string(" [") + argv[i] + "]";
  line += "\n";
  return AppendLine(log, line) ? 0 : 120;
}

}  // namespace qza

int main(int argc, char** argv) { return qza::Main(argc, argv); }
