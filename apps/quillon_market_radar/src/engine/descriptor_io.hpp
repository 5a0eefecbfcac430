// Reads and writes on the process's own descriptors that wait instead of failing: a descriptor
// handed over by another program may be non-blocking (its open file description is shared), so
// EAGAIN means "not yet", never "failed".
#pragma once

#include <string_view>

namespace qmr::descriptor_io {

/// Waits until `fd` is ready for `events` (POLLIN or POLLOUT), or reports a hang-up or error
/// there, which the next read or write then returns. Returns 0, or the errno of a failed poll(2).
[[nodiscard]] int wait_ready(int fd, short events);

/// Writes all of `bytes` to `fd`, resuming after short writes and interruptions and waiting out a
/// full non-blocking descriptor. Returns 0, or the errno of the write that failed (EIO for a write
/// that took nothing without an error).
[[nodiscard]] int write_all(int fd, std::string_view bytes);

}  // namespace qmr::descriptor_io
