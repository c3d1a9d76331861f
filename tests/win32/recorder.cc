// The fake installation program of the Windows tests: appends its command line
// and then each argument as the C run-time split it, one per line, to the file
// named by QZA_RECORD (default: recorder.log in the working directory), and
// exits with the code in QZA_RECORD_EXIT (default 0).
#include <cstdio>
#include <cstdlib>

#include <windows.h>

int main(int argc, char** argv) {
  const char* file = std::getenv("QZA_RECORD");
  std::FILE* out = std::fopen(file != nullptr && *file != '\0' ? file : "recorder.log", "ab");
  if (out == nullptr) return 120;
  std::fprintf(out, "line:%s\n", GetCommandLineA());
  for (int i = 1; i < argc; ++i) std::fprintf(out, "arg%d:%s\n", i, argv[i]);
  std::fprintf(out, "end\n");
  const bool ok = std::fclose(out) == 0;
  const char* code = std::getenv("QZA_RECORD_EXIT");
  return !ok ? 121 : code != nullptr ? std::atoi(code) : 0;
}
