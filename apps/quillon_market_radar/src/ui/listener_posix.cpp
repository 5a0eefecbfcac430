// The dashboard's listener on Linux: address reuse, the descriptor limit raised, and a descriptor
// of its own for each accepting loop.
#include "ui/asio.hpp"
// ui/asio.hpp before everything else: see there.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "ui/listener.hpp"

namespace qmr::ui {

using asio::ip::tcp;

// Half: the clients of a loopback server run on the same processors, and the kernel's share of
// one connection is about as large on their side as on ours; more loops only add context switches
// (measured with wrk -c64 on 2 processors: two loops, 20,000 switches a second; one loop, 3,000,
// and 15% more requests answered).
std::size_t dashboard_loops(std::size_t processors) {
  return std::max<std::size_t>(1, processors / 2);
}

// Address reuse lets a restarted server bind while connections of the previous one linger in
// TIME_WAIT; on Linux it never lets a second listener take a port that one already listens on.
// The backlog is the system's largest: with 128, a burst of a thousand clients overflowed the
// accept queue and each dropped handshake waited a second for the kernel to send it again.
asio::error_code open_listener(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  asio::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(tcp::acceptor::max_listen_connections, error);
  // Several loops accept from it: one that finds the queue empty must not block.
  if (!error) acceptor.non_blocking(true, error);
  return error;
}

// Every loop of the pool accepts, each from a duplicate descriptor of the listening socket.
asio::error_code share_listener(tcp::acceptor& listener, LoopPool& loops,
                                std::vector<tcp::acceptor>& taken) {
  taken.reserve(taken.size() + loops.size());
  for (std::size_t i = 0; i < loops.size(); ++i) {
    tcp::acceptor& copy = taken.emplace_back(loops.loop(i));
    const int fd = ::fcntl(listener.native_handle(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return {errno, asio::system_category()};
    asio::error_code error;
    copy.assign(tcp::v4(), fd, error);
    if (error) {
      ::close(fd);
      return error;
    }
  }
  // The loops' descriptors keep the listener open; this one goes. Released first, so that it
  // leaves its loop's polling explicitly: closing one of several descriptors of a socket does
  // not, and every incoming connection would wake that loop for it too.
  asio::error_code ignored;
  ::close(listener.release(ignored));
  return {};
}

// A peer that reset its connection before it was taken is one more transient failure here: the
// accept loop pauses briefly, as for the others.
bool is_dropped_connection(const asio::error_code&) { return false; }

// An accept's failures are told as errno values here. The listener itself is broken or closed:
// accepting again would fail the same way. Everything else concerns one connection or the
// process's resources (EMFILE, ENFILE, ENOBUFS, ENOMEM, ECONNABORTED, EPROTO, EPERM, the network
// errors Linux passes on from a pending connection): a later accept can succeed.
bool ends_listener(const asio::error_code& error) {
  const int value = error.value();
  return value == EBADF || value == EFAULT || value == EINVAL || value == ENOTSOCK ||
         value == ECANCELED;
}

std::string message_of(const asio::error_code& error) { return error.message(); }

}  // namespace qmr::ui
