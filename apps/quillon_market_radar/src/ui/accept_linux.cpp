// The dashboard's connections taken with Linux's own calls, a measured refinement of asio's
// accept (accept_asio.cpp): connections are taken with accept4 once their request has arrived
// (TCP_DEFER_ACCEPT), read and answered with plain recv/send, and the response's last bytes leave
// with the FIN (MSG_MORE); the closing look for the client's end of stream is deferred a moment
// (the loop's Intake), so about 98% of connections never enter the event loop at all. A
// connection that has to wait (for its request, for room to send, for the client to close) is
// handed to the server's own steps in the event loop.
#include "ui/asio.hpp"
// ui/asio.hpp before everything else: see there.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "base/descriptor_io.hpp"
#include "ui/accept.hpp"
#include "ui/drain_schedule.hpp"

namespace qmr::ui {

namespace {

using asio::ip::tcp;
using descriptor_io::OwnedFd;
using Clock = asio::steady_timer::clock_type;
using Entry = DrainSchedule<OwnedFd>::Entry;

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
asio::awaitable<void> drain_in_loop(asio::io_context& loop, std::size_t drain_bytes, Entry entry) {
  try {
    auto socket = adopt(loop, std::move(entry.handle));
    if (socket) co_await drain(drain_bytes, *socket, entry.drained, entry.deadline);
  } catch (const std::exception&) {
    // Out of memory: the socket closes as the frame unwinds.
  }
}

// The delays of the two looks, each counted from when the connection was queued for it.
constexpr std::array<Clock::duration, 2> LOOK_DELAYS = {std::chrono::milliseconds(2),
                                                        std::chrono::milliseconds(20)};

}  // namespace

// The closing looks of one event loop, with one timer for all; used from that loop only. After its
// response and half-close, a connection's socket waits, outside any event loop, for a look at the
// client's end of stream: a moment later, and if the client is still open, once more after a
// longer delay. Whatever the client sent meanwhile is read and dropped. At its end of stream, or
// past the drain bounds, the socket is closed; a client still open after the last look is drained
// in the event loop. An idle client closes within a fraction of a millisecond on loopback, a busy
// one (a load generator with many connections) within a few.
class Intake {
 public:
  // `drain_bytes` bounds what is read and dropped from one connection.
  Intake(asio::io_context& loop, std::size_t drain_bytes)
      : loop_(loop), drain_bytes_(drain_bytes), schedule_(LOOK_DELAYS), timer_(loop) {}

  // Queues a half-closed connection whose drain ends at `deadline` for its first look. Out of
  // memory, the connection is closed at once.
  void add(OwnedFd fd, Clock::time_point deadline) {
    try {
      schedule_.add({std::move(fd), deadline}, Clock::now());
      arm();
    } catch (const std::bad_alloc&) {
      // The connection was dropped (closed), or the timer is left for the next one to set.
    }
  }

 private:
  // Sets the timer for the earliest look to come, unless a wait is pending for that time or an
  // earlier one. When this goes, its timer ends the wait with an error, and the handler touches
  // nothing. A handler that was already due when the timer was set again runs once more than
  // needed, which is harmless.
  void arm() {
    const auto next = schedule_.next_due();
    if (!next || (armed_for_ && *armed_for_ <= *next)) return;
    armed_for_.reset();
    timer_.expires_at(*next);
    timer_.async_wait([this](const asio::error_code& error) {
      if (error) return;  // set again, or gone
      armed_for_.reset();
      look_at_due();
    });
    armed_for_ = *next;
  }

  void look_at_due() {
    std::array<char, REQUEST_BUFFER_SIZE> buffer;
    const auto now = Clock::now();
    try {
      for (auto& entry : schedule_.take_due(now)) {
        while (entry.drained < drain_bytes_ && now < entry.deadline) {
          const ssize_t count =
              ::recv(entry.handle.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
          if (count > 0) {
            entry.drained += static_cast<std::size_t>(count);
            continue;
          }
          if (count < 0 && errno == EINTR) continue;
          if (count < 0 && descriptor_io::would_block(errno)) {
            if (schedule_.has_next_look(entry.look)) {
              ++entry.look;
              schedule_.add(std::move(entry), now);
            } else {
              asio::co_spawn(loop_, drain_in_loop(loop_, drain_bytes_, std::move(entry)),
                             asio::detached);
            }
          }
          break;  // end of stream, or a failure: the socket is closed
        }
      }
    } catch (const std::bad_alloc&) {
      // The connection at hand was dropped (closed); the others still get their look.
    }
    try {
      arm();
    } catch (const std::bad_alloc&) {
      // Set by the next connection that is queued.
    }
  }

  asio::io_context& loop_;
  std::size_t drain_bytes_;
  DrainSchedule<OwnedFd> schedule_;
  asio::steady_timer timer_;
  std::optional<Clock::time_point> armed_for_;  // while a wait of the timer is pending
};

namespace {

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
    using Next = FirstReadOutcome::Next;
    // A request that has not all arrived is read in the event loop, and so is a refused body.
    if (next != Next::SEND || unread_body > 0) {
      auto socket = adopt(worker.context, std::move(fd));
      if (!socket) co_return;
      if (next == Next::READ_LINE) {
        co_await serve_connection(owner, std::move(*socket), first_read);
      } else if (next == Next::READ_TOOL_REQUEST) {
        co_await finish_tool_request(worker.limits, *socket, first_read, *tool_request);
      } else {
        co_await send_and_close(worker.limits, *socket, *response, unread_body);
      }
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
    worker.intake->add(std::move(fd), Clock::now() + worker.limits.drain_time);
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
  return std::make_shared<Intake>(worker.context, worker.limits.drain_bytes);
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
