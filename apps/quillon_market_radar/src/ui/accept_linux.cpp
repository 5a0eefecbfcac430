// The dashboard's connections taken with Linux's own calls, a measured refinement of asio's
// accept (accept_asio.cpp): connections are taken with accept4 once their request has arrived
// (TCP_DEFER_ACCEPT), read and answered with plain recv/send, and the response's last bytes leave
// with the FIN (MSG_MORE); the closing look for the client's end of stream is deferred a moment
// (closing_looks.hpp), so about 98% of connections never enter the event loop at all. A
// connection that has to wait (for its request, for room to send, for the client to close) is
// handed to the server's own steps in the event loop.
#include "ui/asio.hpp"
// ui/asio.hpp before everything else: see there.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "base/descriptor_io.hpp"
#include "ui/accept.hpp"
#include "ui/closing_looks.hpp"

namespace qmr::ui {

struct Intake {
  ClosingLooks looks;  // of the connections this loop has answered and half-closed
};

namespace {

using asio::ip::tcp;
using descriptor_io::OwnedFd;
using Clock = asio::steady_timer::clock_type;

// True for the errno values of a call on a non-blocking socket that found nothing to do yet.
bool would_block(int error_number) {
  return error_number == EINTR || descriptor_io::would_block(error_number);
}

// Returns the connection as a socket of `loop`, or nothing when the loop cannot take it; the
// connection is closed then.
std::optional<tcp::socket> adopt(asio::io_context& loop, OwnedFd fd) {
  tcp::socket socket(loop);
  asio::error_code error;
  socket.assign(tcp::v4(), fd.get(), error);
  if (error) return std::nullopt;
  static_cast<void>(fd.release());
  return socket;
}

// Drains a connection still open after its closing looks in the event loop.
asio::awaitable<void> drain_in_loop(asio::io_context& loop, std::size_t drain_bytes,
                                    ClosingLooks::Entry entry) {
  try {
    auto socket = adopt(loop, std::move(entry.handle));
    if (socket) co_await drain(drain_bytes, *socket, entry.drained, entry.deadline);
  } catch (const std::exception&) {
    // Out of memory: the socket closes as the frame unwinds.
  }
}

// One connection the Linux way, as the top of the file tells.
asio::awaitable<void> handle_connection(WorkerHandle owner, OwnedFd fd) {
  Worker& worker = *owner;
  try {
    std::array<char, REQUEST_BUFFER_SIZE> buffer;
    ssize_t bytes_read = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
    if (bytes_read < 0 && would_block(errno)) {
      // A silent client is served in the event loop.
      auto socket = adopt(worker.context, std::move(fd));
      if (socket) co_await serve_connection(owner, std::move(*socket));
      co_return;
    }
    if (bytes_read <= 0) co_return;

    const std::string_view first_read(buffer.data(), static_cast<std::size_t>(bytes_read));
    std::string built;
    std::optional<ToolRequest> tool_request;
    if (worker.tools) tool_request.emplace(*worker.tools, worker.tool_budget);
    // Held until the response is sent: a fixed response is one of its texts.
    const auto answering = worker.answering.get();
    const auto [response, next, unread_body, kept] =
        answer_first_read(first_read, answering->engine, answering->fixed,
                          tool_request ? &*tool_request : nullptr, built, answering->history.get());
    // A request that has not all arrived is served in the event loop from what was read, and so
    // is a refused body; it is answered there again, so the room its tool request holds goes now.
    if (next != FirstReadOutcome::Next::SEND || unread_body > 0) {
      tool_request.reset();
      auto socket = adopt(worker.context, std::move(fd));
      if (socket) co_await serve_connection(owner, std::move(*socket), first_read);
      co_return;
    }
    if (response == nullptr) co_return;

    // The send is marked as having more to come, so that the FIN of the half-close below leaves
    // in the same segment as the response's last bytes. A failed send is ignored: the client has
    // gone and the connection closes as usual.
    std::string_view rest = *response;
    const ssize_t sent = ::send(fd.get(), rest.data(), rest.size(), MSG_NOSIGNAL | MSG_MORE);
    if (sent < 0 && !would_block(errno)) co_return;
    if (sent == 0 && !rest.empty()) co_return;  // a write that takes nothing has failed
    if (sent > 0) rest.remove_prefix(static_cast<std::size_t>(sent));
    if (!rest.empty()) {  // no room to send it all: the rest is sent from the event loop
      auto socket = adopt(worker.context, std::move(fd));
      if (socket) co_await send_and_close(worker.limits, *socket, rest);
      co_return;
    }
    ::shutdown(fd.get(), SHUT_WR);
    worker.intake->looks.add(std::move(fd), Clock::now() + worker.limits.drain_time);
  } catch (const std::exception&) {
    // As in serve_connection: out of memory, this connection alone is dropped.
  }
}

}  // namespace

std::shared_ptr<Intake> make_intake(Worker& worker) {
  const int listener = worker.listener.native_handle();
  // Connections inherit delayed acknowledgements from the listener: the request is then
  // acknowledged by the response itself, which follows within microseconds, instead of by a
  // segment of its own. Failing that, one segment more, nothing worse.
  const int quick_acks = 0;
  ::setsockopt(listener, IPPROTO_TCP, TCP_QUICKACK, &quick_acks, sizeof quick_acks);
  // A connection is taken once its request has arrived, or after this many seconds without one:
  // a client then costs nothing between its handshake and its request, and a silent one is still
  // taken, and closed after the idle time. Failing that, connections are taken at their
  // handshake, as without it.
  const int defer_accept_seconds = 1;
  ::setsockopt(listener, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer_accept_seconds,
               sizeof defer_accept_seconds);
  // Connections still open after their last closing look are drained in the event loop.
  asio::io_context& loop = worker.context;
  const std::size_t drain_bytes = worker.limits.drain_bytes;
  return std::make_shared<Intake>(Intake{
      {loop, drain_bytes, [&loop, drain_bytes](ClosingLooks::Entry entry) {
         asio::co_spawn(loop, drain_in_loop(loop, drain_bytes, std::move(entry)), asio::detached);
       }}});
}

asio::awaitable<asio::error_code> accept_next(const WorkerHandle& owner) {
  const auto [error] = co_await owner->listener.async_wait(tcp::acceptor::wait_read, with_error);
  if (error) co_return error;
  for (;;) {
    const int fd =
        ::accept4(owner->listener.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      const int failure = errno;
      if (failure == EINTR) continue;
      if (would_block(failure)) co_return asio::error_code();  // the queue is empty
      co_return asio::error_code(failure, asio::system_category());
    }
    // Out of memory, the connection at hand closes as its descriptor's owner goes.
    asio::co_spawn(owner->context, handle_connection(owner, OwnedFd(fd)), asio::detached);
  }
}

}  // namespace qmr::ui
