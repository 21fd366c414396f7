// The return convention of the host's C++ layer: an operation that can fail returns a Result,
// which holds either its value or the message that tells the user why it failed. The message
// names what failed (file, line, library) and ends without a period unless it is a sentence of
// its own; callers add the context they know.
#ifndef TALVEN_HOST_RESULT_H
#define TALVEN_HOST_RESULT_H

#include <optional>
#include <string>
#include <utility>

namespace host {

// The failure side of a Result, convertible to any Result<T>.
struct Failure {
  std::string why;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T v) : value_(std::move(v)) {}                        // NOLINT: implicit by design
  Result(Failure failure) : error_(std::move(failure.why)) {}  // NOLINT: implicit by design

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  // Only when ok().
  T& value() { return *value_; }
  const T& value() const { return *value_; }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  // Only when !ok().
  const std::string& error() const { return error_; }

 private:
  std::optional<T> value_;
  std::string error_;
};

// An operation without a value: success, or the message.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : failed_(true), error_(std::move(failure.why)) {}  // NOLINT

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return error_; }

 private:
  bool failed_ = false;
  std::string error_;
};

}  // namespace host

#endif  // TALVEN_HOST_RESULT_H
