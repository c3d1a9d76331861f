// The words of a command line, split by the Windows rules on every system.
#include "platform/Process.h"

#include <errno.h>

#include <string>
#include <vector>

#include "platform/Fault.h"

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Reads the program name: to the next blank, or between quotes, no escapes.
const char* ReadProgramName(const char* p, std::string* word) {
  if (*p == '"') {
    ++p;
    while (*p != '\0' && *p != '"') *word += *p++;
    if (*p == '"') ++p;
  } else {
    while (*p != '\0' && !IsBlank(*p)) *word += *p++;
  }
  return p;
}

// Reads one further argument by the backslash and quote rules.
const char* ReadArgument(const char* p, std::string* word) {
  bool quoted = false;
  while (*p != '\0' && (quoted || !IsBlank(*p))) {
    if (*p == '\\') {
      size_t backslashes = 0;
      while (*p == '\\') {
        ++backslashes;
        ++p;
      }
      if (*p == '"') {
        word->append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          *word += '"';
          ++p;
        }
      } else {
        word->append(backslashes, '\\');
      }
    } else if (*p == '"') {
      quoted = !quoted;
      ++p;
    } else {
      *word += *p++;
    }
  }
  return p;
}

}  // namespace

std::vector<std::string> SplitCommandLine(const char* command_line) {
  std::vector<std::string> words;
  if (command_line == nullptr) return words;
  const char* p = command_line;
  while (IsBlank(*p)) ++p;
  if (*p == '\0') return words;
  words.emplace_back();
  p = ReadProgramName(p, &words.back());
  for (;;) {
    while (IsBlank(*p)) ++p;
    if (*p == '\0') break;
    words.emplace_back();
    p = ReadArgument(p, &words.back());
  }
  return words;
}

bool CommandProgram(const char* command_line, std::vector<std::string>* words,
                    std::string* program, int* error) {
  *error = FaultFor(FaultPoint::kSpawn, command_line);
  if (*error != 0) return false;
  *words = SplitCommandLine(command_line);
  if (words->empty()) {
    *error = ENOENT;
    return false;
  }
  *program = FindProgram(words->front(), error);
  return !program->empty();
}

bool ArgumentsProgram(const std::vector<std::string>& words, std::string* program, int* error) {
  std::string text;
  for (size_t i = 0; i < words.size(); ++i) text += (i == 0 ? "" : " ") + words[i];
  *error = FaultFor(FaultPoint::kSpawn, text.c_str());
  if (*error != 0) return false;
  if (words.empty()) {
    *error = ENOENT;
    return false;
  }
  for (const std::string& word : words) {
    if (word.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
      *error = EINVAL;
      return false;
    }
  }
  *program = FindProgram(words.front(), error);
  return !program->empty();
}

}  // namespace platform
