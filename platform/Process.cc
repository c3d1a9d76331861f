// The portable part of child processes: the words of a command line, split
// by the Windows rules on every system, the checks before a start, and the
// ownership of a started child.
#include "platform/Process.h"

#include <errno.h>

#include <string>
#include <utility>
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

Status CommandProgram(const char* command_line, std::vector<std::string>* words,
                      std::string* program) {
  if (const Status fault = FaultStatus(FaultPoint::kSpawn, "start", command_line); !fault) {
    return fault;
  }
  *words = SplitCommandLine(command_line);
  if (words->empty()) return Status::Failure("start", ENOENT);
  Result<std::string> found = FindProgram(words->front());
  if (!found.ok()) return found.status();
  *program = std::move(found).value();
  return Status();
}

Result<std::string> ArgumentsProgram(const std::vector<std::string>& words) {
  std::string text;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) text += ' ';
    text += words[i];
  }
  if (const Status fault = FaultStatus(FaultPoint::kSpawn, "start", text.c_str()); !fault) {
    return fault;
  }
  if (words.empty()) return Status::Failure("start", ENOENT);
  for (const std::string& word : words) {
    if (word.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
      return Status::Failure("start", EINVAL);
    }
  }
  return FindProgram(words.front());
}

Result<Child> SpawnCommandLine(const char* command_line, const SpawnOptions& options) {
  std::vector<std::string> words;
  std::string program;
  const Status found = CommandProgram(command_line, &words, &program);
  if (!found.ok()) return found;
  return backend::SpawnProgram(program, std::move(words), options);
}

Result<Child> SpawnArguments(const std::vector<std::string>& words, const SpawnOptions& options) {
  const Result<std::string> program = ArgumentsProgram(words);
  if (!program.ok()) return program.status();
  return backend::SpawnProgram(program.value(), words, options);
}

Child::~Child() { DetachChild(*this); }

Child::Child(Child&& other) noexcept : id_(other.id_), native_(other.native_) { other.Forget(); }

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    DetachChild(*this);
    id_ = other.id_;
    native_ = other.native_;
    other.Forget();
  }
  return *this;
}

Child Child::FromNative(int64_t id, intptr_t native) {
  Child child;
  child.id_ = id;
  child.native_ = native;
  return child;
}

void Child::Forget() {
  id_ = 0;
  native_ = 0;
}

Result<bool> ChildEnded(Child& child, unsigned* exit_status) {
  if (!child.held()) return Status::Failure("wait", ECHILD);
  Result<bool> ended = backend::ChildEnded(child.native(), exit_status);
  if (!ended.ok() || ended.value()) child.Forget();
  return ended;
}

Status KillChild(Child& child) {
  if (!child.held()) return Status::Failure("kill", ECHILD);
  const Status status = backend::KillChild(child.native());
  child.Forget();
  return status;
}

void DetachChild(Child& child) {
  if (!child.held()) return;
  backend::DetachChild(child.native());
  child.Forget();
}

}  // namespace platform
