// CProcess: one child process started from a Windows command line.
//
// The command line is split into arguments by the Windows rules (double quotes
// group words, backslashes are literal except before a quote) and is never seen
// by a shell. The program is the first word; a bare name is looked for beside
// the running executable, then in the working directory, then along PATH. The
// child gets its own process group (with a new console: its own session), so
// signals aimed at the caller never reach it.
#ifndef QZA_WDIR_CPROCESS_H_
#define QZA_WDIR_CPROCESS_H_

#include <cstdint>
#include <memory>

#include "support/Export.h"

namespace qza {

class QZA_EXPORT CProcess {
 public:
  // The exit code reported while the child runs.
  static constexpr unsigned long kStillActive = 259;

  // Stores a copy of the command line (null stores none). Starts nothing.
  explicit CProcess(const char* command_line);
  // Ends a child that still runs, unless it was detached.
  ~CProcess();
  // The object owns a child: it is not copied.
  CProcess(const CProcess&) = delete;
  CProcess& operator=(const CProcess&) = delete;

  // Starts the command line. `minimised` is accepted and ignored (there are no
  // windows); `new_console` starts the child in a session of its own. Returns 1
  // when the child was started; 0 when there is no command line or the program
  // cannot be found or started. Does not wait for the child.
  int Run(int minimised, int new_console);
  // As Run, with the child started in `working_directory` (a path text); the
  // caller's own working directory is left alone.
  int Run(int minimised, int new_console, const char* working_directory);
  // Lets the child run on out of reach; it is reaped in the background when it
  // ends and outlives the caller. Sets the exit code to 0.
  void Detach();
  // Ends a running child (and its process group) and sets the exit code to 0.
  void Kill();
  // Returns 1 while the child runs. When it has ended, stores its exit status
  // (128 + signal for a child ended by a signal) as the exit code, releases it
  // and returns 0; later calls return 0 and keep the exit code.
  int IsRunning();
  // The child's process id (on Windows its process handle), 0 when no child
  // is held.
  int64_t ProcessHandle() const;
  // 0 before the first Run, 259 while the child runs, then its exit status.
  unsigned long ExitCode() const { return exit_code_; }
  // Why the last Run returned 0, as an errno value (ENOENT: no such program;
  // EACCES: not executable; EAGAIN: refused by a process limit; EINVAL: no
  // command line; EBUSY: a child is held already; ...). 0 before any Run and
  // after a Run that started the child.
  int LastError() const { return last_error_; }

 private:
  std::unique_ptr<char[]> command_line_;  // null when constructed without one
  unsigned long exit_code_ = 0;
  // The child held, owned here; null while none is held.
  struct Held;
  std::unique_ptr<Held> child_;
  int last_error_ = 0;
};

}  // namespace qza

// Programs written before the namespace use the global name.
using qza::CProcess;

#endif  // QZA_WDIR_CPROCESS_H_
