#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "base/descriptor_io.hpp"

namespace qmr::descriptor_io {

namespace {

// Waits until `fd` is ready for `events` (POLLIN or POLLOUT), or reports a hang-up or error
// there, which the next read or write then returns. Returns 0, or the errno of a failed poll(2).
int wait_ready(int fd, short events) {
  pollfd watched{fd, events, 0};
  while (::poll(&watched, 1, -1) < 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

int read_some(int fd, char* data, std::size_t size, std::size_t& count) {
  ssize_t got;
  while ((got = ::read(fd, data, size)) < 0) {
    if (errno == EINTR) continue;
    if (!would_block(errno)) return errno;
    // A non-blocking input with nothing in it yet: the writer is slow, not gone.
    if (const int failed = wait_ready(fd, POLLIN); failed != 0) return failed;
  }
  count = static_cast<std::size_t>(got);
  return 0;
}

int write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(count));
      continue;
    }
    if (count == 0) return EIO;
    if (errno == EINTR) continue;
    if (!would_block(errno)) return errno;
    if (const int failed = wait_ready(fd, POLLOUT); failed != 0) return failed;
  }
  return 0;
}

OwnedFd::~OwnedFd() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace qmr::descriptor_io
