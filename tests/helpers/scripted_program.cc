// A stand-in for the installation's programs where no shell runs scripts (the
// Windows tests): a copy of this program named like the one it stands in for
// carries out, in order, the steps written in the file "<its own path>.do",
// one a line:
//
//   pid <file>          writes its process id into <file>
//   args <file>         writes its arguments, one a line, into <file>
//   cwd <file>          writes its working directory into <file>
//   touch <file>        creates <file>
//   say <text>          writes <text> and a line feed to standard output
//   warn <text>         writes <text> and a line feed to standard error
//   record <file>       appends "NAME [arg1] [arg2]… (in <working directory>)"
//                       to <file>, the directory with / separators
//   speak               writes "WAV of " and the content of its next-to-last
//                       argument to its last one (through a .part file)
//   copy                copies its next-to-last argument to its last one
//   move <from> <to>    renames <from> to <to>, replacing <to>
//   sleep <ms>          sleeps
//   exit <code>         ends with <code>
//
// Ends with 0 after the last step, and with 125 when a step fails.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "AppendLine.h"

namespace qza {

namespace {

std::string OwnPath(const char* argv0) {
#ifdef _WIN32
  (void)argv0;
  char buffer[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  return n == 0 || n >= sizeof buffer ? std::string() : std::string(buffer, n);
#else
  return argv0;
#endif
}

long ProcessId() {
#ifdef _WIN32
  return _getpid();
#else
  return getpid();
#endif
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool Write(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

// Carries out one step; false when it failed.
bool Step(const std::string& verb, std::istringstream& rest, int argc, char** argv) {
  std::string a, b;
  rest >> std::ws;
  if (verb == "pid" && std::getline(rest, a)) return Write(a, std::to_string(ProcessId()) + "\n");
  if (verb == "args" && std::getline(rest, a)) {
    std::string text;
    for (int i = 1; i < argc; ++i) text += std::string(argv[i]) + "\n";
    return Write(a, text);
  }
  if (verb == "cwd" && std::getline(rest, a)) {
    std::error_code error;
    return Write(a, std::filesystem::current_path(error).string() + "\n") && !error;
  }
  if (verb == "touch" && std::getline(rest, a)) return Write(a, "");
  if (verb == "record" && std::getline(rest, a)) {
    const std::string self = OwnPath(argv[0]);
    std::string line = self.substr(self.find_last_of("\\/") + 1);
    for (int i = 1; i < argc; ++i) line += std::string(" [") + argv[i] + "]";
    std::error_code error;
    std::string cwd = std::filesystem::current_path(error).string();
    for (char& c : cwd) {
      if (c == '\\') c = '/';
    }
    return AppendLine(a, line + " (in " + cwd + ")\n") && !error;
  }
  if (verb == "speak" && argc >= 3) {
    const std::string out = argv[argc - 1];
    std::error_code error;
    if (!Write(out + ".part", "WAV of " + Read(argv[argc - 2]))) return false;
    std::filesystem::rename(out + ".part", out, error);
    return !error;
  }
  if ((verb == "say" || verb == "warn") && std::getline(rest, a)) {
    std::FILE* stream = verb == "say" ? stdout : stderr;
    a += "\n";
    // A closed or broken stream is no failure of the step: the test looks at the exit code.
    std::fwrite(a.data(), 1, a.size(), stream);
    std::fflush(stream);
    return true;
  }
  if (verb == "copy" && argc >= 3) {
    std::error_code error;
    std::filesystem::copy_file(argv[argc - 2], argv[argc - 1],
                               std::filesystem::copy_options::overwrite_existing, error);
    return !error;
  }
  if (verb == "move" && rest >> a >> b) {
    std::error_code error;
    std::filesystem::rename(a, b, error);
    return !error;
  }
  if (verb == "sleep" && rest >> a) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(a.c_str())));
    return true;
  }
  if (verb == "exit" && rest >> a) std::exit(std::atoi(a.c_str()));
  return false;
}

}  // namespace

int Main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);  // "\n" stays "\n", as on Linux
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  std::ifstream steps(OwnPath(argv[0]) + ".do");
  std::string line;
  while (std::getline(steps, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string verb;
    if (!(words >> verb)) continue;
    if (!Step(verb, words, argc, argv)) {
      std::fprintf(stderr, "scripted_program: step failed: %s\n", line.c_str());
      return 125;
    }
  }
  return 0;
}

}  // namespace qza

int main(int argc, char** argv) { return qza::Main(argc, argv); }
