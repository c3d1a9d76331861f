#include "support/CProcess.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/Process.h"

namespace qza {

struct CProcess::Held {
  platform::Child child;
};

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
  if (child_) {
    last_error_ = EBUSY;
    return 0;
  }
  platform::SpawnOptions options;
  options.new_session = new_console != 0;
  options.working_directory = working_directory;
  platform::Result<platform::Child> started =
      platform::SpawnCommandLine(command_line_.get(), options);
  if (!started.ok()) {
    last_error_ = started.status().error();
    return 0;
  }
  child_.reset(new Held{std::move(started).value()});
  last_error_ = 0;
  exit_code_ = kStillActive;
  return 1;
}

void CProcess::Detach() {
  child_.reset();  // a child still held is detached as it is let go
  exit_code_ = 0;
}

void CProcess::Kill() {
  if (!IsRunning()) return;
  // A child the system refused to end is still waited for and let go: the
  // object holds nothing afterwards either way, and Kill reports nothing.
  (void)platform::KillChild(child_->child);
  child_.reset();
  exit_code_ = 0;
}

int CProcess::IsRunning() {
  if (!command_line_ || !child_) return 0;
  unsigned status = 0;
  const platform::Result<bool> ended = platform::ChildEnded(child_->child, &status);
  if (ended.ok() && !ended.value()) return 1;
  // Ended, or no longer ours to ask (it is let go then): the exit code is
  // its status, 0 when the system could not tell it.
  exit_code_ = status;
  child_.reset();
  return 0;
}

int64_t CProcess::ProcessHandle() const { return child_ ? child_->child.native() : 0; }

}  // namespace qza
