// The error value of the platform layer: what a failure carries, the words a
// failure line takes from it, and a result that holds a value or a failure.
#include "platform/Status.h"

#include <errno.h>
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <cstring>
#include <string>

namespace qza {
namespace {

using platform::Result;
using platform::Status;

TEST(Status, SuccessIsOkAndCarriesNoReason) {
  const Status status;
  EXPECT_TRUE(status.ok());
  EXPECT_TRUE(static_cast<bool>(status));
  EXPECT_EQ(status.error(), 0);
  EXPECT_STREQ(status.operation(), "");
  EXPECT_STREQ(status.reason(), "");
  EXPECT_EQ(status.ToString(), "ok");
}

TEST(Status, FailureNamesItsOperationAndReason) {
  struct Case {
    int error;
    int carried;  // a failure never reads as success
    const char* reason;
  } cases[] = {
      {ELOOP, ELOOP, "a symbolic link"},
      {EISDIR, EISDIR, "a directory"},
      {ENODEV, ENODEV, "not a regular file"},
      {EBUSY, EBUSY, "in use by another program"},
      {EMLINK, EMLINK, "a file with a second name (a hard link)"},
      {ETIMEDOUT, ETIMEDOUT, "the system did not answer in time"},
      {ENOENT, ENOENT, std::strerror(ENOENT)},
      {0, EIO, std::strerror(EIO)},
  };
  for (const Case& c : cases) {
    const Status status = Status::Failure("rename", c.error);
    EXPECT_FALSE(status.ok()) << c.error;
    EXPECT_FALSE(static_cast<bool>(status)) << c.error;
    EXPECT_EQ(status.error(), c.carried);
    EXPECT_STREQ(status.operation(), "rename");
    EXPECT_STREQ(status.reason(), c.reason);
    EXPECT_EQ(status.ToString(), std::string("rename: ") + c.reason);
  }
}

TEST(Status, LastFailureTakesTheSystemsErrorOfThisThread) {
#ifdef _WIN32
  SetLastError(ERROR_FILE_NOT_FOUND);
#else
  errno = ENOENT;
#endif
  const Status status = platform::backend::LastFailure("open");
  EXPECT_EQ(status.error(), ENOENT);
  EXPECT_STREQ(status.operation(), "open");
}

TEST(Result, HoldsAValueOrTheFailure) {
  const Result<std::string> value(std::string("text"));
  EXPECT_TRUE(value.ok());
  EXPECT_EQ(value.value(), "text");
  EXPECT_TRUE(value.status().ok());

  const Result<std::string> failed(Status::Failure("read", EACCES));
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.status().error(), EACCES);
  EXPECT_EQ(failed.value(), "");  // the default value, never a part of one
}

}  // namespace
}  // namespace qza
