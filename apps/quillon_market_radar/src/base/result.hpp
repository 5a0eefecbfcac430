// Error values and the one way to stop the process on a broken invariant.
// Operations that can fail return a `Result`; checks that cannot fail with a sound store call
// `fatal`, and an exception that nothing handled ends in `fatal_for`.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace qmr {

/// Exit status of an abnormal stop: a failed internal check, exhausted memory or a failed console
/// write. Distinct from success (0), a command's error (1) and a rejected command line (2).
inline constexpr int ABNORMAL_EXIT_STATUS = 70;

/// An error that a caller either turns into a reply or passes upward unchanged.
struct Error {
  std::string message;
};

/// Either a value or an `Error`.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}      // NOLINT: implicit by design
  Result(Error error) : state_(std::move(error)) {}  // NOLINT: implicit by design

  /// Returns true when the result holds a value.
  bool ok() const { return state_.index() == 0; }
  /// Returns the value; only valid when `ok()`.
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  /// Returns the error; only valid when `!ok()`.
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

/// Success or an `Error`, for operations without a value.
struct Done {};
using Status = Result<Done>;

/// Writes `message` to standard error and stops the process at once with ABNORMAL_EXIT_STATUS.
[[noreturn]] void fatal(std::string_view message);

/// Stops the process with `fatal` for an exception that nothing could handle: "memory allocation
/// failed" for exhausted memory and "too many open files" for exhausted descriptors (limits of the
/// machine), "internal error: " and its text otherwise. asio reports a failure that met another
/// on its way out as multiple_exceptions; the first one tells.
[[noreturn]] void fatal_for(const std::exception_ptr& failure);

}  // namespace qmr
