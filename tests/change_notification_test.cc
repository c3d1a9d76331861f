#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#ifndef _WIN32
#include <pthread.h>
#endif

#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "TestUtil.h"
#include "platform/ChangeNotification.h"
#include "platform/Fault.h"
#include "platform/Startup.h"

namespace qza {

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
  static const struct {
    const char* name;
    std::function<void(const std::string&)> action;
    bool wakes;
  } cases[] = {
      {"read", [](const std::string& d) { testutil::ReadFile(d + "/existing"); }, false},
      {"delete", [](const std::string& d) { testutil::RemoveFile(d + "/existing"); }, false},
      {"write", [](const std::string& d) { testutil::WriteFile(d + "/new", "y"); }, true},
      {"move in",
       [](const std::string& d) {
         testutil::WriteFile(d + "/../qza_moved", "z");
         rename((d + "/../qza_moved").c_str(), (d + "/moved").c_str());
       },
       true},
      {"modification time",
       [](const std::string& d) { testutil::SetModificationTime(d + "/new", 1000000); }, true},
  };
  for (const auto& c : cases) {
    c.action(dir_.path());
    EXPECT_EQ(notification_.Wait(0) == ChangeNotification::kChanged, c.wakes) << c.name;
    EXPECT_EQ(notification_.Wait(0), ChangeNotification::kTimeout) << c.name << " drained";
  }
}

// Names in the order they came, each with "+" (appeared or changed) or "-"
// (left); repeats of one entry in a row, as Windows reports a write, count once.
std::string NamesTaken(ChangeNotification& notification, bool* missed) {
  std::string order, previous;
  for (const auto& event : notification.TakeNames(missed)) {
    const std::string entry = (event.removed ? "-" : "+") + event.name + " ";
    if (entry != previous) order += entry;
    previous = entry;
  }
  return order;
}

TEST_F(ChangeNotificationTest, ChangeBetweenTimeoutAndRenewalIsNotLost) {
  bool missed = true;
  NamesTaken(notification_, &missed);
  EXPECT_EQ(notification_.Wait(0), ChangeNotification::kTimeout);
  testutil::WriteFile(dir_ / "qza1k3.in", "alarm");
  EXPECT_TRUE(notification_.Renew(dir_.path().c_str()));
  EXPECT_EQ(notification_.Wait(0), ChangeNotification::kChanged);
  EXPECT_EQ(notification_.Wait(0), ChangeNotification::kTimeout);
  EXPECT_EQ(NamesTaken(notification_, &missed), "+qza1k3.in ");
  EXPECT_FALSE(missed) << "the same directory: what was known of its names still holds";
}

// A renewal watches whatever directory stands at the path now. What the
// directory that stood there before still reports (its move, a file written
// into it afterwards) is no longer the watch's: it neither wakes a wait nor
// ends the new watch, and the names known before count as missed.
TEST_F(ChangeNotificationTest, RenewalFollowsADirectoryReplacedAtItsPath) {
  if (testutil::kWindows) GTEST_SKIP() << "Windows cannot rename a watched directory";
  bool missed = true;
  NamesTaken(notification_, &missed);
  const std::string d = dir_.path();
  ASSERT_EQ(rename(d.c_str(), (d + ".old").c_str()), 0);
  ASSERT_TRUE(testutil::MakeDirectory(d));
  testutil::WriteFile(d + ".old/stale", "written into the old directory");
  EXPECT_TRUE(notification_.Renew(d.c_str()));
  EXPECT_EQ(notification_.Wait(20), ChangeNotification::kTimeout);
  EXPECT_TRUE(notification_.Watching());
  EXPECT_EQ(NamesTaken(notification_, &missed), "") << "names of the old directory";
  EXPECT_TRUE(missed);
  testutil::WriteFile(d + ".old/later", "");
  EXPECT_EQ(notification_.Wait(20), ChangeNotification::kTimeout);
  testutil::WriteFile(d + "/fresh", "");
  EXPECT_EQ(notification_.Wait(1000), ChangeNotification::kChanged);
  EXPECT_EQ(NamesTaken(notification_, &missed), "+fresh ");
  EXPECT_FALSE(missed);
  std::filesystem::remove_all(d + ".old");
}

// A path with no directory is tried again at each renewal, and watched as
// soon as one is there.
TEST(ChangeNotification, RenewalWatchesADirectoryOnceItExists) {
  testutil::TempDir parent;
  const std::string d = parent / "spool";
  ChangeNotification notification;
  EXPECT_FALSE(notification.Create(d.c_str()));
  for (int renewal = 0; renewal < 2; ++renewal) {
    EXPECT_FALSE(notification.Renew(d.c_str()));
    EXPECT_FALSE(notification.Watching());
    EXPECT_EQ(notification.Wait(10), ChangeNotification::kTimeout);
  }
  ASSERT_TRUE(testutil::MakeDirectory(d));
  EXPECT_TRUE(notification.Renew(d.c_str()));
  testutil::WriteFile(d + "/qza1k1.in", "");
  EXPECT_EQ(notification.Wait(1000), ChangeNotification::kChanged);
}

TEST_F(ChangeNotificationTest, RemovedDirectoryEndsWaitsAsTimeouts) {
  if (testutil::kWindows) {
    GTEST_SKIP() << "on Windows a watched directory stays pending deletion while it is watched, "
                    "and Wine reports no end of the watch: the renewal at each time-out covers it";
  }
  ASSERT_TRUE(testutil::RemoveFile(dir_ / "existing"));
  ASSERT_TRUE(std::filesystem::remove(dir_.path()));
  notification_.Wait(0);
  EXPECT_FALSE(notification_.Watching());
  EXPECT_EQ(notification_.Wait(20), ChangeNotification::kTimeout);
  ASSERT_TRUE(testutil::MakeDirectory(dir_.path()));
  EXPECT_TRUE(notification_.Renew(dir_.path().c_str()));
  notification_.Wait(0);  // whatever the old watch saw of the removal
  EXPECT_TRUE(notification_.Watching());
  testutil::WriteFile(dir_ / "back", "");
  EXPECT_EQ(notification_.Wait(1000), ChangeNotification::kChanged);
}

// A watched directory that goes away is watched again without a renewal: at
// once when another stands at its path, else as soon as one is made there.
// The wait that finds it reports a change with names missed, for the files
// that the new directory already holds.
TEST_F(ChangeNotificationTest, LostDirectoryIsWatchedAgainWithinTheWait) {
  if (testutil::kWindows) {
    GTEST_SKIP() << "Windows cannot rename a watched directory, and Wine reports no end of a "
                    "watch on a removed one";
  }
  const std::string d = dir_.path();
  static const struct {
    const char* name;
    bool replaced;  // renamed away and replaced at once; else removed, made later
  } cases[] = {{"replaced", true}, {"removed and made again", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool missed = true;
    NamesTaken(notification_, &missed);
    std::thread maker;
    if (c.replaced) {
      ASSERT_TRUE(testutil::MakeDirectory(d + ".new"));
      testutil::WriteFile(d + ".new/waiting", "");
      ASSERT_EQ(rename(d.c_str(), (d + ".old").c_str()), 0);
      ASSERT_EQ(rename((d + ".new").c_str(), d.c_str()), 0);
    } else {
      std::filesystem::remove_all(d);
      EXPECT_EQ(notification_.Wait(0), ChangeNotification::kTimeout);
      EXPECT_FALSE(notification_.Watching());
      maker = std::thread([d] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        testutil::MakeDirectory(d);
      });
    }
    // Far shorter than this: a look every second finds it.
    EXPECT_EQ(notification_.Wait(600000), ChangeNotification::kChanged);
    if (maker.joinable()) maker.join();
    EXPECT_TRUE(notification_.Watching());
    NamesTaken(notification_, &missed);
    EXPECT_TRUE(missed);
    testutil::WriteFile(d + "/fresh", "");
    EXPECT_EQ(notification_.Wait(10000), ChangeNotification::kChanged);
    EXPECT_EQ(NamesTaken(notification_, &missed), "+fresh ");
    EXPECT_FALSE(missed);
    std::filesystem::remove_all(d + ".old");
  }
}

// A directory that was never watched is not looked for within the waits: it
// is tried at the renewals after time-outs.
TEST(ChangeNotification, OnlyALostDirectoryIsLookedFor) {
  testutil::TempDir parent;
  const std::string d = parent / "spool";
  ChangeNotification notification;
  EXPECT_FALSE(notification.Create(d.c_str()));
  ASSERT_TRUE(testutil::MakeDirectory(d));
  EXPECT_EQ(notification.Wait(1500), ChangeNotification::kTimeout);
  EXPECT_FALSE(notification.Watching());
}

TEST(ChangeNotification, MissingDirectoryWaitsItsFullTime) {
  ChangeNotification notification;
  const platform::Status status = notification.Create("/nonexistent/qza/spool");
  EXPECT_EQ(status.error(), ENOENT) << status.ToString();
  EXPECT_EQ(notification.Wait(10), ChangeNotification::kTimeout);
}

TEST(ChangeNotification, NotifyFaultMakesCreateFail) {
  testutil::TempDir dir;
  ChangeNotification notification;
  platform::InjectFault(platform::FaultPoint::kNotify, ENOSPC, dir.path().c_str());
  const platform::Status status = notification.Create(dir.path().c_str());
  EXPECT_EQ(status.error(), ENOSPC);
  EXPECT_STREQ(status.operation(), "watch");
  EXPECT_FALSE(notification.Watching());
  EXPECT_EQ(notification.Wait(0), ChangeNotification::kTimeout);
  platform::ClearFaults();
  EXPECT_TRUE(notification.Create(dir.path().c_str()));
}

#ifdef _WIN32
// Windows has no stop signals: the console's control events (Ctrl+C, closing
// the console, shut-down) reach a handler thread that requests the stop, as
// RaiseHere does from its thread.
constexpr int kHangUp = 1;
class StopSignalsBlocked {
 public:
  StopSignalsBlocked() {}
  static void RaiseHere(int) { platform::RequestStop(); }
};
#else
constexpr int kHangUp = SIGHUP;
// Blocks the stop signals in the calling thread for the life of the object,
// so the kernel must deliver them to another thread.
class StopSignalsBlocked {
 public:
  StopSignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, kHangUp}) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  // Sends the signal to the calling thread, which a new thread created under
  // the block must first unblock (it inherits the mask).
  static void RaiseHere(int signal_number) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal_number);
  }

 private:
  sigset_t old_;
};
#endif

TEST(ChangeNotification, StopRequestEndsTheWait) {
  ASSERT_TRUE(platform::InstallStopHandlers().ok());
  testutil::TempDir dir;
  static const struct {
    const char* name;
    bool watching;
    bool before_the_wait;
    int signal_number;
  } cases[] = {
      {"before, watching", true, true, SIGTERM},
      {"before, no watch", false, true, SIGINT},
      {"during, watching", true, false, kHangUp},
      {"during, no watch", false, false, SIGTERM},
  };
  for (const auto& c : cases) {
    ChangeNotification notification;
    ASSERT_EQ(notification.Create(c.watching ? dir.path().c_str() : "/nonexistent/qza").ok(),
              c.watching);
    std::thread sender;
    {
      StopSignalsBlocked blocked;
      if (c.before_the_wait) {
        // This thread blocks the signal: it is delivered to none but the sender.
        std::thread([&] { StopSignalsBlocked::RaiseHere(c.signal_number); }).join();
        EXPECT_TRUE(platform::StopRequested()) << c.name;
      } else {
        sender = std::thread([&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          StopSignalsBlocked::RaiseHere(c.signal_number);  // handled here, not in the waiter
        });
      }
      EXPECT_EQ(notification.Wait(600000), ChangeNotification::kStopped) << c.name;
      EXPECT_EQ(notification.Wait(600000), ChangeNotification::kStopped) << c.name << ", again";
    }
    if (sender.joinable()) sender.join();
    platform::ResetStopRequest();
    EXPECT_EQ(notification.Wait(0), ChangeNotification::kTimeout) << c.name << ", reset";
  }
}

}  // namespace

namespace {

TEST_F(ChangeNotificationTest, NamesComeInOrderWithWhetherTheyLeft) {
  const std::string d = dir_.path();
  bool missed = false;
  notification_.TakeNames(&missed);  // before the first take nothing is known
  EXPECT_TRUE(missed);
  testutil::WriteFile(d + "/../moved_in", "m");
  ASSERT_EQ(rename((d + "/../moved_in").c_str(), (d + "/a").c_str()), 0);
  ASSERT_EQ(rename((d + "/a").c_str(), (d + "/b").c_str()), 0);
  ASSERT_TRUE(testutil::RemoveFile(d + "/existing"));
  testutil::WriteFile(d + "/c", "written in place");
  ASSERT_EQ(notification_.Wait(1000), ChangeNotification::kChanged);
  notification_.Wait(50);  // whatever came after the first wake-up
  std::string order, previous;
  for (const auto& event : notification_.TakeNames(&missed)) {
    const std::string entry = (event.removed ? "-" : "+") + event.name + " ";
    // Windows reports one write as several changes (size, time): one is kept here.
    if (testutil::kWindows && entry == previous) continue;
    order += entry;
    previous = entry;
  }
  EXPECT_FALSE(missed);
  // Moved in, moved away and in again under another name, deleted, created and written.
  EXPECT_EQ(order, testutil::kWindows ? "+a -a +b -existing +c " : "+a -a +b -existing +c +c ");
  EXPECT_TRUE(notification_.TakeNames(&missed).empty());
}

TEST_F(ChangeNotificationTest, ALostWatchMeansNamesWereMissed) {
  bool missed = false;
  notification_.TakeNames(&missed);
  notification_.Close();
  notification_.TakeNames(&missed);
  EXPECT_TRUE(missed);  // nothing watches: the caller must list the directory
}

}  // namespace

}  // namespace qza
