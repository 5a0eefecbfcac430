// Reads and writes on the process's own descriptors that wait instead of failing, once per system:
// on Linux (descriptor_io_posix.cpp) a descriptor handed over by another program may be
// non-blocking (its open file description is shared), so EAGAIN means "not yet", never "failed";
// on Windows (descriptor_io_windows.cpp) the same calls work on the descriptors' handles, with
// their errors told as the errno values of Linux. And a descriptor owned by a value, closed when
// the value goes.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string_view>
#include <utility>

namespace qmr::descriptor_io {

/// Returns true for the errno values of a call on a non-blocking descriptor that is not ready yet
/// (EAGAIN, and EWOULDBLOCK where that is another value).
[[nodiscard]] constexpr bool would_block(int error_number) {
  return error_number == EAGAIN || (EWOULDBLOCK != EAGAIN && error_number == EWOULDBLOCK);
}

/// Reads at most `size` bytes from `fd` into `data` and sets `count` to how many came (0 at end of
/// input), resuming after interruptions and waiting while a non-blocking `fd` is empty. Returns 0,
/// or the errno of the read that failed. On Windows a pipe whose writer has gone is at its end.
[[nodiscard]] int read_some(int fd, char* data, std::size_t size, std::size_t& count);

/// Writes all of `bytes` to `fd`, resuming after short writes and interruptions and waiting out a
/// full non-blocking descriptor. Returns 0, or the errno of the write that failed (EIO for a write
/// that took nothing without an error).
[[nodiscard]] int write_all(int fd, std::string_view bytes);

/// A descriptor that belongs to nothing else (a socket not, or not yet, in any event loop), closed
/// when the value goes.
class OwnedFd {
 public:
  explicit OwnedFd(int fd) : fd_(fd) {}
  // Moved, never copied nor assigned.
  OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  ~OwnedFd();

  [[nodiscard]] int get() const { return fd_; }
  /// Returns the descriptor, which the value no longer closes.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace qmr::descriptor_io
