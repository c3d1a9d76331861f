#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "TestUtil.h"
#include "platform/SystemdNotify.h"

namespace qza {

namespace {

// A datagram socket bound in a temporary directory and named in NOTIFY_SOCKET,
// as systemd sets it up for a unit of Type=notify.
class SystemdNotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(socket_, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const std::string path = dir_ / "notify";
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
    if (socket_ >= 0) close(socket_);
  }
  // The next datagram already queued on the socket, or "<none>".
  std::string Received() {
    char buffer[256];
    const ssize_t size = recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
    return size < 0 ? "<none>" : std::string(buffer, size);
  }

  testutil::TempDir dir_;
  int socket_ = -1;
};

TEST_F(SystemdNotifyTest, EachReportArrivesAsItsStateLine) {
  static const struct {
    void (*report)();
    const char* datagram;
  } cases[] = {
      {&platform::NotifyReady, "READY=1"},
      {&platform::NotifyWatchdog, "WATCHDOG=1"},
      {&platform::NotifyStopping, "STOPPING=1"},
  };
  for (const auto& c : cases) {
    c.report();
    EXPECT_EQ(Received(), c.datagram);
  }
  EXPECT_EQ(Received(), "<none>");
}

TEST_F(SystemdNotifyTest, WithoutNotifySocketNothingIsSent) {
  unsetenv("NOTIFY_SOCKET");
  platform::NotifyReady();
  platform::NotifyWatchdog();
  platform::NotifyStopping();
  EXPECT_EQ(Received(), "<none>");
}

TEST_F(SystemdNotifyTest, WatchdogPingIsHalfTheIntervalAskedOfThisProcess) {
  const std::string self = std::to_string(getpid());
  static const struct {
    const char* usec;  // null: not set
    bool for_this_pid;
    uint32_t ping_ms;
  } cases[] = {
      {"60000000", true, 30000},   // WatchdogSec=60s
      {"60000000", false, 0},      // asked of another process (a launched child sees this)
      {nullptr, true, 0},          // no watchdog
      {"1000", true, 1},           // shorter than 2 ms still pings
      {"sixty", true, 0},          // malformed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.usec ? c.usec : "(unset)");
    if (c.usec) {
      setenv("WATCHDOG_USEC", c.usec, 1);
    } else {
      unsetenv("WATCHDOG_USEC");
    }
    setenv("WATCHDOG_PID", c.for_this_pid ? self.c_str() : "1", 1);
    EXPECT_EQ(platform::WatchdogPingMs(), c.ping_ms);
  }
}

}  // namespace

}  // namespace qza
