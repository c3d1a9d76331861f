#include "support/CProcess.h"

#include <cerrno>
#include <cstring>

#include "platform/Process.h"

namespace qza {

CProcess::CProcess(const char* command_line) {
  if (command_line != nullptr) {
    size_t size = std::strlen(command_line) + 1;
    command_line_.reset(new char[size]);
    std::memcpy(command_line_.get(), command_line, size);
  }
}

CProcess::~CProcess() {
  if (IsRunning()) Kill();
}

int CProcess::Run(int minimised, int new_console) {
  return Run(minimised, new_console, nullptr);
}

int CProcess::Run(int /*minimised*/, int new_console, const char* working_directory) {
  if (!command_line_) {
    last_error_ = EINVAL;
    return 0;
  }
  if (pid_ != 0) {
    last_error_ = EBUSY;
    return 0;
  }
  platform::SpawnOptions options;
  options.new_session = new_console != 0;
  options.working_directory = working_directory;
  pid_t pid = platform::SpawnCommandLine(command_line_.get(), options, &last_error_);
  if (pid <= 0) return 0;
  last_error_ = 0;
  pid_ = pid;
  exit_code_ = kStillActive;
  return 1;
}

void CProcess::Detach() {
  if (pid_ != 0) platform::DetachChild(static_cast<pid_t>(pid_));
  pid_ = 0;
  exit_code_ = 0;
}

void CProcess::Kill() {
  if (!IsRunning()) return;
  platform::KillChild(static_cast<pid_t>(pid_));
  pid_ = 0;
  exit_code_ = 0;
}

int CProcess::IsRunning() {
  if (!command_line_ || pid_ == 0) return 0;
  unsigned status = 0;
  if (!platform::ChildEnded(static_cast<pid_t>(pid_), &status)) return 1;
  exit_code_ = status;
  pid_ = 0;
  return 0;
}

}  // namespace qza
