#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#endif

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "platform/Console.h"

namespace qza {

namespace {

// Standard output on a pipe for the life of the object; the read end is the
// test's. Started after the writer thread, so the writer writes into it.
class StdoutPipe {
 public:
  StdoutPipe() {
    saved_ = dup(STDOUT_FILENO);
#ifdef _WIN32
    EXPECT_EQ(_pipe(fds_, 1 << 16, _O_BINARY | _O_NOINHERIT), 0);
#else
    EXPECT_EQ(pipe2(fds_, O_CLOEXEC), 0);
#endif
    EXPECT_NE(dup2(fds_[1], STDOUT_FILENO), -1);
    close(fds_[1]);
  }
  ~StdoutPipe() {
    Restore();
    close(fds_[0]);
  }
  // Puts the old standard output back: the pipe's last writer is gone.
  void Restore() {
    if (saved_ < 0) return;
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
  }
  // Reads everything until the write end is closed everywhere.
  std::string ReadAll() {
    std::string all;
    char buffer[65536];
    for (ssize_t n; (n = read(fds_[0], buffer, sizeof buffer)) > 0;) all.append(buffer, n);
    return all;
  }

 private:
  int fds_[2] = {-1, -1};
  int saved_ = -1;
};

std::string Line(int i) {
  char text[64];
  snprintf(text, sizeof text, "message %06d of the account\r\n", i);
  return text;
}

std::string DroppedLine(unsigned long count) {
  char text[160];
  snprintf(text, sizeof text, platform::kDroppedFormat, count);
  return text;
}

// First in the file: once a test has started the writer, it runs for good.
TEST(Console, WithoutTheWriterPrintWritesBeforeItReturns) {
  testutil::CaptureStdout();
  platform::Print("%s %d\r\n", "captured", 42);
  EXPECT_TRUE(platform::FlushConsole(0));
  EXPECT_EQ(testutil::GetCapturedStdout(), "captured 42\r\n");
}

TEST(Console, PrintErrorWritesToStandardError) {
  testing::internal::CaptureStderr();
  platform::PrintError("cannot claim %s: %s\n", "qza_wdir.lock", "Permission denied");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "cannot claim qza_wdir.lock: Permission denied\n");
}

TEST(Console, PriorityPrefixStandsBeforeEveryLine) {
  const struct {
    platform::Priority priority;
    const char* text;
    const char* prefixed;
  } cases[] = {
      {platform::Priority::kFailure, "one\n", "<3>one\n"},
      {platform::Priority::kWarning, "one\ntwo\n", "<4>one\n<4>two\n"},
      {platform::Priority::kInfo, "no line end", "<6>no line end"},
      {platform::Priority::kFailure, "a\n\nb", "<3>a\n<3>\n<3>b"},
      {platform::Priority::kFailure, "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::WithPriorityPrefix(c.priority, c.text), c.prefixed) << c.text;
  }
}

TEST(Console, StalledReaderNeverBlocksPrintAndDroppedMessagesAreCounted) {
  ASSERT_TRUE(platform::StartConsoleWriter());
  StdoutPipe out;
  // Far more than the pipe and the queue hold together.
  const int total = static_cast<int>(3 * platform::kConsoleQueueBytes / Line(0).size());
  std::atomic<bool> printed{false};
  std::thread printer([&] {
    for (int i = 0; i < total; ++i) platform::Print("%s", Line(i).c_str());
    printed = true;
  });
  const bool returned = testutil::WaitFor([&] { return printed.load(); }, std::chrono::seconds(60));
  std::string output;
  std::thread reader([&] { output = out.ReadAll(); });
  printer.join();
  EXPECT_TRUE(returned) << "Print waited for the reader";
  ASSERT_TRUE(platform::FlushConsole(60000));
  platform::Print("after the reader came back\r\n");
  ASSERT_TRUE(platform::FlushConsole(60000));
  out.Restore();
  reader.join();

  // The messages that fitted, in order; then one line for all the dropped
  // ones; then what came after.
  std::string expected;
  int written = 0;
  while (written < total && output.compare(expected.size(), Line(written).size(), Line(written)) == 0) {
    expected += Line(written++);
  }
  EXPECT_GT(written, 0) << output.substr(0, 120);
  EXPECT_LT(written, total);
  expected += DroppedLine(static_cast<unsigned long>(total - written));
  expected += "after the reader came back\r\n";
  EXPECT_EQ(output.size(), expected.size());
  EXPECT_TRUE(output == expected) << output.substr(expected.size() - 200);
}

TEST(Console, MessagesOfManyThreadsArriveWholeAndInOrder) {
  ASSERT_TRUE(platform::StartConsoleWriter());
  StdoutPipe out;
  std::string output;
  std::thread reader([&] { output = out.ReadAll(); });
  constexpr int kThreads = 4, kMessages = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int m = 0; m < kMessages; ++m) platform::Print("thread %d message %d\r\n", t, m);
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(platform::FlushConsole(60000));
  out.Restore();
  reader.join();
  int next[kThreads] = {};
  size_t start = 0;
  for (size_t end; (end = output.find("\r\n", start)) != std::string::npos; start = end + 2) {
    int t = -1, m = -1;
    ASSERT_EQ(sscanf(output.c_str() + start, "thread %d message %d\r", &t, &m), 2)
        << output.substr(start, 60);
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(m, next[t]++) << "thread " << t;
  }
  EXPECT_EQ(start, output.size());
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kMessages);
}

}  // namespace

}  // namespace qza
