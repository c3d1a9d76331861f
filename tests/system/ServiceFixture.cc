#include "system/ServiceFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

namespace systemtest {
namespace {

const char* const kIniRows[][3] = {
    {"Server", "Number", "1"},
    {"Server", "NeedOneConsOf", ""},
    {"Server", "NeedAllConsOf", ""},
    {"Server", "WaitForSec", "30"},
    {"Server", "SleepAfterError", "1200"},
    {"Server", "PollSec", "0"},
    {"Pathnames", "WatchPath", "spool/"},
    {"Pathnames", "AckPath", "ack/"},
    {"Pathnames", "WatchFiles", "spool/qza%ik?.in"},
    {"Pathnames", "WatchDogFiles", "spool/qza%ik?.dog"},
    {"Pathnames", "WatchJobFiles", "spool/qz*.job"},
    {"Pathnames", "JobPath", "spool/"},
    {"Pathnames", "WatchTtsFiles", "spool/qz*.tts"},
    {"Pathnames", "TtsPath", "spool/"},
    {"Pathnames", "TtsLogPath", "ttslog/"},
    {"Pathnames", "SvoxPath", "svox/"},
    {"Alarm", "UseVoxFile", "0"},
    {"SVoxSettings", "Voice", "judith8"},
    {"SVoxSettings", "Speed", "100"},
    {"SVoxSettings", "Pitch", "100"},
    {"SVoxSettings", "MaxSeconds", "60"},
};

}  // namespace

std::string YearMonth() {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char text[32];
  snprintf(text, sizeof text, "%02d%02d", local.tm_year % 100, local.tm_mon + 1);
  return text;
}

std::string ServiceBinary() { return std::string(QZA_BINARY_DIR) + "/qza_wdir"; }
std::string MkalarmBinary() { return std::string(QZA_BINARY_DIR) + "/qza_mkalarm"; }

Service::Service(const std::string& directory, const std::string& path_env, bool read_output) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const std::string binary = ServiceBinary();
  const std::string path_variable = "PATH=" + path_env;
  std::vector<std::string> environment = {path_variable, "LANG=C"};
  if (const char* tz = getenv("TZ")) environment.push_back(std::string("TZ=") + tz);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(binary.c_str()), nullptr};
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    dup2(out[1], STDOUT_FILENO);
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    if (chdir(directory.c_str()) != 0) _exit(126);
    execve(binary.c_str(), argv, envp.data());
    _exit(127);
  }
  close(out[1]);
  if (read_output) {
    reader_ = std::thread(&Service::ReadOutput, this, out[0]);
  } else {
    unread_fd_ = out[0];
  }
}

void Service::ResumeReading() {
  if (unread_fd_ < 0) return;
  reader_ = std::thread(&Service::ReadOutput, this, unread_fd_);
  unread_fd_ = -1;
}

Service::~Service() {
  Kill();
  if (unread_fd_ >= 0) close(unread_fd_);
  if (reader_.joinable()) reader_.join();
}

void Service::ReadOutput(int fd) {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    output_.append(buffer, n);
  }
  close(fd);
}

std::string Service::Output() {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

bool Service::WaitForOutput(const std::string& text, int count,
                            std::chrono::milliseconds timeout) {
  return testutil::WaitFor(
      [&] {
        std::string output = Output();
        int found = 0;
        for (size_t at = output.find(text); at != std::string::npos;
             at = output.find(text, at + 1)) {
          ++found;
        }
        return found >= count;
      },
      timeout);
}

int Service::WaitForExit(std::chrono::milliseconds timeout) {
  testutil::WaitFor(
      [&] {
        int status;
        if (pid_ <= 0) return true;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return true;
      },
      timeout);
  return pid_ > 0 ? -1 : exit_code_;
}

void Service::Kill() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void Service::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

ServiceTest::ServiceTest() {
  for (const char* sub : {"bin", "spool", "ack", "db", "ttslog", "svox"}) {
    mkdir(Path(sub).c_str(), 0755);
  }
  WriteAlarmIni("db/");
}

ServiceTest::~ServiceTest() {
  if (HasFailure()) Dump();
  service_.reset();
}

void ServiceTest::WriteIni(const std::map<std::string, std::string>& changes) {
  std::ostringstream ini;
  std::string section;
  for (const auto& row : kIniRows) {
    if (row[0] != section) {
      section = row[0];
      ini << "[" << section << "]\n";
    }
    std::string value = row[2];
    auto change = changes.find(row[1]);
    if (change != changes.end()) {
      if (change->second.empty()) continue;
      value = change->second;
    }
    ini << row[1] << "=" << value << "\n";
  }
  testutil::WriteFile(Path("qza_wdir.ini"), ini.str());
}

void ServiceTest::WriteAlarmIni(const std::string& db_path) {
  testutil::WriteFile(Path("qzalarm.ini"), "[qzawrdb]\nDbPath=" + db_path + "\n");
}

Service& ServiceTest::Start(bool read_output) {
  service_ = std::make_unique<Service>(dir_.path(), Path("bin") + ":/usr/bin:/bin", read_output);
  return *service_;
}

void ServiceTest::Drop(const std::string& relative, const std::string& content) {
  const std::string temp = Path("drop.tmp");
  testutil::WriteFile(temp, content);
  ASSERT_EQ(rename(temp.c_str(), Path(relative).c_str()), 0) << relative;
}

void ServiceTest::AddFakeProgram(const std::string& name) {
  testutil::MakeExecutable(Path("bin/" + name),
                           "#!/bin/sh\n"
                           "line='" + name + "'\n"
                           "for a in \"$@\"; do line=\"$line [$a]\"; done\n"
                           "printf '%s\\n' \"$line\" >> " + Path("calls.log") + "\n");
}

std::vector<std::string> ServiceTest::Calls() {
  std::vector<std::string> calls;
  std::istringstream in(testutil::ReadFile(Path("calls.log")));
  std::string line;
  while (std::getline(in, line)) {
    if (line != "<missing>") calls.push_back(line);
  }
  return calls;
}

bool ServiceTest::WaitForCalls(size_t count, std::chrono::milliseconds timeout) {
  return testutil::WaitFor([&] { return Calls().size() >= count; }, timeout);
}

void ServiceTest::Dump() {
  std::string listing = "ls -laR " + dir_.path() + " >&2";
  if (system(listing.c_str()) != 0) fprintf(stderr, "(listing failed)\n");
  if (service_) fprintf(stderr, "--- service output ---\n%s\n---\n", service_->Output().c_str());
}

}  // namespace systemtest
