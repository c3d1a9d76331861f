// System tests of the real qza_wdir binary: each test gets a fresh directory
// with its ini files, a bin/ of fake installation programs on PATH that record
// their arguments, and a spool directory into which it drops files (written
// elsewhere, then renamed in). The service's standard output is read as it
// comes; waits wait for progress: they fail only when what they wait for has
// not come nearer for their whole time-out (a slow machine, or Wine under
// load, takes longer, but a stalled service is still caught); the service is
// ended with its process group (on Windows: the service process alone, its
// detached children run on). A start that the system refuses for a moment is
// tried again, and the test's output says so.
#ifndef QZA_TESTS_SYSTEM_SERVICE_FIXTURE_H_
#define QZA_TESTS_SYSTEM_SERVICE_FIXTURE_H_

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"

namespace qza {

namespace systemtest {

using namespace std::chrono_literals;

// How a service is started beyond the defaults.
struct StartOptions {
  std::vector<std::string> arguments;  // after the program name
  // Standard error goes to a pipe that Errors() reads (POSIX; on Windows it
  // always goes to service.err, which Errors() reads).
  bool capture_errors = false;
  // JOURNAL_STREAM names the device and inode of that pipe, as systemd names
  // the journal's stream (implies capture_errors).
  bool journal_stream = false;
};

// One running qza_wdir process.
class Service {
 public:
  // With `read_output` false nobody reads the service's standard output (a
  // stalled reader) until ResumeReading.
  Service(const std::string& directory, const std::string& path_env, bool read_output = true,
          const StartOptions& options = {});
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Everything the service has printed so far.
  std::string Output();
  // Waits until the output holds `text` (`count` times); false once `timeout`
  // has passed without one more of them.
  bool WaitForOutput(const std::string& text, int count = 1,
                     std::chrono::milliseconds timeout = 10s);
  // What it has written to standard error so far, when captured.
  std::string Errors();
  // Waits for the process to end by itself; returns its exit code or -1. Once
  // it has ended, Output() and Errors() hold everything it wrote.
  int WaitForExit(std::chrono::milliseconds timeout = 10s);
  // Ends the service and its process group with SIGKILL (Windows:
  // TerminateProcess of the service).
  void Kill();
  // Sends `signal` to the service process alone (POSIX only).
  void Signal(int signal);
  // Starts reading a standard output that was left unread.
  void ResumeReading();
  int pid() const { return pid_; }

 private:
  void ReadOutput(intptr_t out);
  void ReadErrors(int fd);
  void JoinReaders();

  int pid_ = -1;
  std::atomic<bool> stop_reading_{false};  // the reader ends once nothing is left to read
  intptr_t unread_ = -1;  // the read end of the output pipe while nobody reads it
  int exit_code_ = -1;
#ifdef _WIN32
  void* process_ = nullptr;  // the service's process handle
#endif
  std::mutex mutex_;
  std::string output_;
  std::thread reader_;
  std::string errors_;
  std::string errors_file_;  // Windows: service.err
  std::atomic<bool> stop_errors_{false};  // a child may hold standard error open
  std::thread error_reader_;
};

class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest();
  ~ServiceTest() override;

  // Writes qza_wdir.ini from the test settings (every key set, relative
  // paths, WaitForSec 30) with `changes` applied; an empty value removes the
  // key. SVoxSettings' WavDirs and byte caps are written only when changed.
  void WriteIni(const std::map<std::string, std::string>& changes = {});
  void WriteAlarmIni(const std::string& db_path);
  // Starts the service in the test directory.
  Service& Start(bool read_output = true, const StartOptions& options = {});
  // Writes `content` outside the spool directory and renames it into
  // `relative` (a path under the test directory).
  void Drop(const std::string& relative, const std::string& content);
  // A fake installation program that appends "NAME [arg1] [arg2]…" to calls.log.
  void AddFakeProgram(const std::string& name);
  // The recorded calls, one line each.
  std::vector<std::string> Calls();
  // Waits until `count` calls are recorded; false once `timeout` has passed
  // without one more call.
  bool WaitForCalls(size_t count, std::chrono::milliseconds timeout = 10s);
  std::string Path(const std::string& relative) const { return dir_ / relative; }
  // On failure: the directory listing and the service's output.
  void Dump();

  testutil::TempDir dir_;
  std::unique_ptr<Service> service_;
};

// Polls `measure` until it reaches `goal`. False once `timeout` passes without
// the measure growing: each step nearer the goal starts the time-out anew.
bool WaitForProgress(const std::function<size_t()>& measure, size_t goal,
                     std::chrono::milliseconds timeout);

// How often, and how far apart, a start that the system refuses is tried.
constexpr int kStartAttempts = 5;
constexpr std::chrono::milliseconds kStartRetryPause = 1s;

// "YYMM" of the current local month, as archive and log names carry it.
std::string YearMonth();

// The last lines of the service's start in a test directory: "Ready", after
// the note that the service prints when its user cannot take leases on files
// of other users (an ordinary user without CAP_LEASE; the service runs as
// the user that runs the tests).
std::string ReadyLines();

// The binary under test.
std::string ServiceBinary();
std::string MkalarmBinary();

}  // namespace systemtest

}  // namespace qza

#endif  // QZA_TESTS_SYSTEM_SERVICE_FIXTURE_H_
