// Child processes started from Windows command lines.
//
// A command line becomes an argument vector by the rules of CommandLineToArgvW
// and is never seen by a shell: a field of a spool file can add arguments,
// never commands. The program is the first word. A word without a separator is
// looked for in the directory of the running executable, then in the working
// directory, then along PATH; a word with a separator is a path text. A script
// without an interpreter line is run by /bin/sh, as execvp does.
//
// Children start with posix_spawn (no copy of the caller's address space), an
// empty signal mask and default dispositions for every signal, and standard
// input from /dev/null. Their standard output and error go to the caller's
// standard error when that is usable, so a child never writes into the
// service's account of events while a failing script stays visible in the
// journal; when the caller's standard error is closed or a pipe whose reader
// has gone, they go to /dev/null, so a script that prints is never ended by
// SIGPIPE. (A reader that goes away after the start is beyond our reach.)
// Descriptors are all O_CLOEXEC. (The Windows build: see
// platform/win32/Process.cc.)
#ifndef QZA_PLATFORM_PROCESS_H_
#define QZA_PLATFORM_PROCESS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Status.h"

namespace platform {

// A started child process, owned once. Its owner either asks it whether it
// has ended (ChildEnded), ends it (KillChild) or lets it run on out of reach
// (DetachChild); each of these that lets the child go leaves the Child empty,
// so nothing can wait for a process id or handle that is no longer ours.
// Destroying or overwriting a Child that still holds a process detaches it,
// so a child is never left a zombie and no handle leaks.
class Child {
 public:
  // Holds no child.
  Child() = default;
  ~Child();
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // True while a process is held.
  bool held() const { return native_ != 0; }
  // The process id, for messages; 0 when none is held.
  int64_t id() const { return id_; }
  // The system's own value for the child (POSIX: its process id; Windows: its
  // process handle); 0 when none is held. The Child keeps owning it.
  intptr_t native() const { return native_; }

  // For the back ends: takes over the child `native` (never 0) whose process
  // id is `id`.
  static Child FromNative(int64_t id, intptr_t native);

 private:
  friend Result<bool> ChildEnded(Child& child, unsigned* exit_status);
  friend Status KillChild(Child& child);
  friend void DetachChild(Child& child);
  // Forgets the child without letting it go (the back end has already
  // reaped, ended, released or adopted it).
  void Forget();

  int64_t id_ = 0;
  intptr_t native_ = 0;
};

// Splits a command line by the Windows rules: blanks and tabs separate words;
// double quotes group; backslashes are literal except before a double quote
// (2n backslashes and a quote give n backslashes and toggle quoting, 2n+1 give
// n and a literal quote); the first word runs to the next blank, or from a quote to the next
// quote, with no escapes.
std::vector<std::string> SplitCommandLine(const char* command_line);

// The words of a command line about to be started and the program file its
// first word names. Fails ("start") when there is nothing to start: the armed
// spawn fault, ENOENT for a line without words, FindProgram's failure.
Status CommandProgram(const char* command_line, std::vector<std::string>* words,
                      std::string* program);

// The program file that the first of `words` names, for an argument vector
// about to be started. Fails ("start") when there is nothing to start: the
// armed spawn fault, matched against the words joined by blanks; ENOENT for
// no words; EINVAL for a word holding a line break or NUL, which no platform
// can hand over whole, since cmd would end the command there; FindProgram's
// failure.
Result<std::string> ArgumentsProgram(const std::vector<std::string>& words);

// Finds the program file for the first word: beside the executable, in the
// working directory, then along PATH. Fails ("start") when no executable
// file is found: EACCES when a file of that name was found but cannot be
// executed, else ENOENT or the lookup error. One per system.
Result<std::string> FindProgram(const std::string& word);

struct SpawnOptions {
  // A new session (setsid): own process group and no controlling terminal.
  // Otherwise the child gets only a process group of its own.
  bool new_session = true;
  // Working directory of the child as a path text; null keeps the caller's.
  const char* working_directory = nullptr;
};

// Starts the command line. Returns the child, or a failure ("start") when
// the program cannot be found or started; the failure is known before this
// returns: ENOENT no such program (or an empty command line), EACCES found
// but not executable, EAGAIN refused by a process or task limit, ENOMEM, and
// so on. A fault armed at FaultPoint::kSpawn for the command line fails it
// likewise.
Result<Child> SpawnCommandLine(const char* command_line, const SpawnOptions& options);

// Starts the program that the first of `words` names (looked for as the
// first word of a command line is), with `words` as its argument vector word
// for word: each word is exactly one argument, whatever blanks or quotes it
// holds. Returns and fails as SpawnCommandLine; a word with a line break is
// refused with EINVAL (see ArgumentsProgram).
Result<Child> SpawnArguments(const std::vector<std::string>& words, const SpawnOptions& options);

// How long a start may take before it is given up. On Windows the system is
// asked on a thread of its own, with the child held suspended until the
// caller accepts it: a start that has not come back in time fails with
// ETIMEDOUT, and a child that comes into being after that is ended before it
// has run (Wine has been seen to keep a start waiting for good). While a few
// starts given up have still not come back, further starts fail at once with
// EAGAIN. A POSIX start returns once the program runs or has failed to, and
// is not bounded.
constexpr uint32_t kStartLimitMilliseconds = 15000;

// Starts given up whose system call has not come back yet (always 0 on
// POSIX).
int StalledStarts();

// For tests, on Windows: sets the start limit (0: kStartLimitMilliseconds)
// and holds every start back `hold_milliseconds` before the system is asked,
// as a system slow to start processes would. Does nothing on POSIX.
void SetStartLimitForTests(uint32_t limit_milliseconds, uint32_t hold_milliseconds);

// Asks whether the child has ended, without blocking. Gives true and stores
// its exit status (128 + the signal number for a child ended by a signal) when
// it has ended and has been reaped; false while it runs. Fails ("wait") when
// the system cannot tell (no such child any more, or its status cannot be
// read; *exit_status then stays as it was). Once it gives true or fails, the
// child is let go and `child` is empty. An empty `child` fails with ECHILD.
Result<bool> ChildEnded(Child& child, unsigned* exit_status);

// Ends the child and its process group (POSIX: SIGKILL), waits for its end
// and lets it go: `child` is empty afterwards. Fails ("kill") when the system
// refused to end it (the wait is still made), or ("wait") when its end cannot
// be waited for. An empty `child` fails with ECHILD.
Status KillChild(Child& child);

// Lets the child run on out of reach: it is reaped in the background as soon
// as it ends, so it never lingers as a zombie, and it outlives the caller.
// `child` is empty afterwards; an empty one is left alone.
void DetachChild(Child& child);

namespace backend {
// One per system, under the calls above. `native` is a held child's value.
// Starts `program` (a path the system can start) with `words` as its
// arguments.
Result<Child> SpawnProgram(const std::string& program, std::vector<std::string> words,
                           const SpawnOptions& options);
// As ChildEnded; lets the child go when it gives true or fails.
Result<bool> ChildEnded(intptr_t native, unsigned* exit_status);
// As KillChild; always lets the child go.
Status KillChild(intptr_t native);
// As DetachChild.
void DetachChild(intptr_t native);
}  // namespace backend

}  // namespace platform

#endif  // QZA_PLATFORM_PROCESS_H_
