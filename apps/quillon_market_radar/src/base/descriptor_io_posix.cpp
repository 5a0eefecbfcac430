#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "base/descriptor_io.hpp"

namespace qmr::descriptor_io {

namespace {

// Returns 0 when the call on `fd` that failed with `errno` may be made again: it was interrupted,
// or `fd` is non-blocking and not ready (the other end is slow, not gone) and poll(2) now finds it
// ready for `events`, or a hang-up or error that the next call returns. Else returns the errno.
int wait_to_retry(int fd, short events) {
  if (errno == EINTR) return 0;
  if (!would_block(errno)) return errno;
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
    if (const int failed = wait_to_retry(fd, POLLIN); failed != 0) return failed;
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
    if (const int failed = wait_to_retry(fd, POLLOUT); failed != 0) return failed;
  }
  return 0;
}

OwnedFd::~OwnedFd() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace qmr::descriptor_io
