#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <functional>
#include <string>

#include "TestUtil.h"
#include "platform/ChangeNotification.h"

namespace {

using platform::ChangeNotification;

class ChangeNotificationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::WriteFile(dir_ / "existing", "x");
    ASSERT_TRUE(notification_.Create(dir_.path().c_str()));
  }
  testutil::TempDir dir_;
  ChangeNotification notification_;
};

TEST_F(ChangeNotificationTest, WritesMovesAndTimesWakeReadsAndDeletionsDoNot) {
  const std::string d = dir_.path();
  static const struct {
    const char* name;
    std::function<void(const std::string&)> action;
    bool wakes;
  } cases[] = {
      {"read", [](const std::string& d) { testutil::ReadFile(d + "/existing"); }, false},
      {"delete", [](const std::string& d) { unlink((d + "/existing").c_str()); }, false},
      {"write", [](const std::string& d) { testutil::WriteFile(d + "/new", "y"); }, true},
      {"move in",
       [](const std::string& d) {
         testutil::WriteFile(d + "/../qza_moved", "z");
         rename((d + "/../qza_moved").c_str(), (d + "/moved").c_str());
       },
       true},
      {"modification time", [](const std::string& d) { utime((d + "/new").c_str(), nullptr); },
       true},
  };
  for (const auto& c : cases) {
    c.action(d);
    EXPECT_EQ(notification_.Wait(0) == ChangeNotification::kChanged, c.wakes) << c.name;
    EXPECT_EQ(notification_.Wait(0), ChangeNotification::kTimeout) << c.name << " drained";
  }
}

TEST_F(ChangeNotificationTest, ChangeBetweenTimeoutAndRenewalIsNotLost) {
  EXPECT_EQ(notification_.Wait(0), ChangeNotification::kTimeout);
  testutil::WriteFile(dir_ / "qza1k3.in", "alarm");
  notification_.Renew(dir_.path().c_str());
  EXPECT_EQ(notification_.Wait(0), ChangeNotification::kChanged);
  EXPECT_EQ(notification_.Wait(0), ChangeNotification::kTimeout);
}

TEST_F(ChangeNotificationTest, RemovedDirectoryEndsWaitsAsTimeouts) {
  unlink((dir_ / "existing").c_str());
  ASSERT_EQ(rmdir(dir_.path().c_str()), 0);
  notification_.Wait(0);
  EXPECT_FALSE(notification_.Watching());
  EXPECT_EQ(notification_.Wait(20), ChangeNotification::kTimeout);
  ASSERT_EQ(mkdir(dir_.path().c_str(), 0755), 0);
  notification_.Renew(dir_.path().c_str());
  notification_.Wait(0);  // whatever the old watch saw of the removal
  EXPECT_TRUE(notification_.Watching());
  testutil::WriteFile(dir_ / "back", "");
  EXPECT_EQ(notification_.Wait(1000), ChangeNotification::kChanged);
}

TEST(ChangeNotification, MissingDirectoryWaitsItsFullTime) {
  ChangeNotification notification;
  EXPECT_FALSE(notification.Create("/nonexistent/qza/spool"));
  EXPECT_EQ(notification.Wait(10), ChangeNotification::kTimeout);
}

}  // namespace
