// What a platform call that can fail gives back: success, or the operation
// that failed with its error number. The number is an errno value on every
// system (the Windows back end translates its own codes), so callers compare
// it with ENOENT, EBUSY and the rest alike, and a failure line takes its
// reason from reason(). A Status is built from the system's last error in one
// place per back end (backend::LastFailure), or from a number the layer
// chose itself (a refusal, an injected fault) with Status::Failure.
//
// A call that also gives a value returns Result<T>: the value, or the Status
// of its failure.
#ifndef QZA_PLATFORM_STATUS_H_
#define QZA_PLATFORM_STATUS_H_

#include <string>
#include <utility>

namespace platform {

class [[nodiscard]] Status {
 public:
  // Success.
  constexpr Status() = default;
  // A failure of `operation` (a short static text, "open", "rename", ...)
  // with the errno value `error`; an `error` of 0 is taken as EIO, so a
  // failure never reads as success.
  static Status Failure(const char* operation, int error);

  bool ok() const { return error_ == 0; }
  explicit operator bool() const { return ok(); }
  // The errno value; 0 on success.
  int error() const { return error_; }
  // The operation that failed; "" on success.
  const char* operation() const { return operation_; }
  // The reason in words: the layer's own refusals ("a symbolic link", "not a
  // regular file", ...), else the system's text for the number.
  const char* reason() const;
  // "operation: reason", for logs and tests; "ok" on success.
  std::string ToString() const;

 private:
  constexpr Status(const char* operation, int error) : operation_(operation), error_(error) {}

  const char* operation_ = "";
  int error_ = 0;
};

// The reason in words for an errno value, as Status::reason gives it.
const char* ErrorText(int error);

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: a value converts
  Result(Status failure) : status_(failure) {}   // NOLINT: a failure converts

  bool ok() const { return status_.ok(); }
  explicit operator bool() const { return ok(); }
  const Status& status() const { return status_; }
  // The value; the default value of T after a failure.
  const T& value() const& { return value_; }
  T& value() & { return value_; }
  T&& value() && { return std::move(value_); }

 private:
  T value_{};
  Status status_;
};

namespace backend {

// The failure of `operation` from the system's last error of this thread
// (errno; on Windows GetLastError, translated). The one place where a back
// end turns its system's error into a Status.
Status LastFailure(const char* operation);

}  // namespace backend

}  // namespace platform

#endif  // QZA_PLATFORM_STATUS_H_
