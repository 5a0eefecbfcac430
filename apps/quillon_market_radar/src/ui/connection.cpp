// The connection's steps in the event loop. A step that waits does so under a deadline of its own
// (SocketDeadline); a failed read or write ends the connection without more ado.
#include "ui/connection.hpp"
// ui/connection.hpp, and so ui/asio.hpp, before everything else: see there.
#include <algorithm>
#include <array>
#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace qmr::ui {

using asio::ip::tcp;
using Clock = asio::steady_timer::clock_type;

namespace {

// Cancels a socket's waits once its time limit passes (the idle timeout, the bound on a drain):
// a timer of its own per waiting socket, which only the few sockets that wait at all need. The
// timer's handler holds the shared state, not the socket: a handler already queued when the wait
// ends finds the socket gone and does nothing. Nothing is linked anywhere, so a throw in the
// constructor leaves nothing behind.
class SocketDeadline {
 public:
  SocketDeadline(tcp::socket& socket, Clock::time_point deadline)
      : state_(std::make_shared<State>(State{&socket, false})),
        timer_(socket.get_executor(), deadline) {
    timer_.async_wait([state = state_](const asio::error_code& error) {
      if (error || state->socket == nullptr) return;
      state->expired = true;
      asio::error_code ignored;
      state->socket->cancel(ignored);
    });
  }
  ~SocketDeadline() { state_->socket = nullptr; }  // the timer cancels its wait as it goes

  // True once the deadline has passed (the socket's waits were cancelled then).
  [[nodiscard]] bool expired() const { return state_->expired; }

 private:
  struct State {
    tcp::socket* socket;
    bool expired;
  };
  std::shared_ptr<State> state_;
  asio::steady_timer timer_;
};

}  // namespace

// Closing a socket with unread data resets the connection, and a reset can destroy a response
// the client has not read yet.
asio::awaitable<void> drain(std::size_t drain_bytes, tcp::socket& socket, std::size_t drained,
                            Clock::time_point deadline) {
  std::array<char, REQUEST_BUFFER_SIZE> buffer;
  const SocketDeadline limit(socket, deadline);
  while (drained < drain_bytes && !limit.expired()) {
    const auto [error, count] = co_await socket.async_read_some(asio::buffer(buffer), with_error);
    if (error || count == 0) break;
    drained += count;
  }
}

// A failed write is ignored: the client has gone.
asio::awaitable<void> send_and_close(const ConnectionLimits& limits, tcp::socket& socket,
                                     std::string_view rest, std::size_t unread_body) {
  const auto [error, written] = co_await asio::async_write(socket, asio::buffer(rest), with_error);
  if (error) co_return;
  asio::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  const std::size_t refused = std::min(unread_body, limits.refused_body_bytes);
  co_await drain(limits.drain_bytes + refused, socket, 0, Clock::now() + limits.drain_time);
}

// The whole request must arrive within the idle time, or the connection closes without a response.
//
// Memory: a request's head is read into a string of at most TOOL_HEAD_LIMIT bytes, and its body
// only once the loop's budget (limits.tool_request_budget) has room for the whole request; the
// 503 refusal says there is none. The worst case of a loop is then one head of 8 KiB per open
// connection plus the budget: with 1,000 connections, 8 MiB of heads and 16 MiB of bodies.
asio::awaitable<void> finish_tool_request(const ConnectionLimits& limits, tcp::socket& socket,
                                          std::string_view first_read, ToolRequest& request) {
  std::string response;
  std::size_t unread_body = 0;
  {
    std::string bytes;
    bytes.reserve(TOOL_HEAD_LIMIT);  // a head grows in place: the request's views stay valid
    bytes = first_read;
    request.moved(first_read.data(), bytes.data());
    const SocketDeadline limit(socket, Clock::now() + limits.idle_timeout);
    for (;;) {
      const ToolProgress progress = request.answer(bytes, response);
      if (progress.next == ToolProgress::Next::SEND) {
        unread_body = unread(progress, bytes.size());
        break;
      }
      if (progress.awaits_continue) {
        const auto [error, written] =
            co_await asio::async_write(socket, asio::buffer(CONTINUE), with_error);
        if (error) co_return;  // the client has gone
      }
      // The size the request may reach with this read.
      const std::size_t wanted =
          progress.next == ToolProgress::Next::READ_BODY ? progress.request_size : TOOL_HEAD_LIMIT;
      if (bytes.capacity() < wanted) {  // what the budget holds is what is allocated
        const char* const was = bytes.data();
        bytes.reserve(wanted);
        request.moved(was, bytes.data());
      }
      const std::size_t had = bytes.size();
      bytes.resize(wanted);
      const auto [error, count] = co_await socket.async_read_some(
          asio::buffer(bytes.data() + had, wanted - had), with_error);
      if (error) co_return;  // as for the first read
      bytes.resize(had + count);
    }
  }
  co_await send_and_close(limits, socket, response, unread_body);
}

// Never awaited by the accept loop, so it catches its own failures.
asio::awaitable<void> serve_connection(std::shared_ptr<LoopState> owner, tcp::socket socket,
                                       std::string_view read_before) {
  using Next = FirstReadOutcome::Next;
  LoopState& loop = *owner;
  try {
    std::array<char, REQUEST_BUFFER_SIZE> buffer;
    std::size_t count = read_before.copy(buffer.data(), buffer.size());
    std::string built;
    std::optional<ToolRequest> tool_request;
    if (loop.tools) tool_request.emplace(*loop.tools, loop.tool_budget);
    FirstReadOutcome outcome;
    std::shared_ptr<const Answering> answering;  // a fixed response is one of its texts
    {
      const SocketDeadline idle(socket, Clock::now() + loop.limits.idle_timeout);
      // The first read, and more while the reads end inside a request line that may be the tool
      // server's.
      for (;;) {
        if (count > 0) {
          answering = loop.answering.get();
          outcome = answer_first_read({buffer.data(), count}, answering->engine, answering->fixed,
                                      tool_request ? &*tool_request : nullptr, built,
                                      answering->history.get());
          if (outcome.next != Next::READ_LINE) break;
        }
        const auto [error, read] = co_await socket.async_read_some(
            asio::buffer(buffer.data() + count, buffer.size() - count), with_error);
        // A failed read, a peer that closed and a peer silent for the whole idle time are
        // treated alike: the connection closes without a byte written (so too in
        // finish_tool_request).
        if (error) co_return;
        count += read;
      }
    }
    if (outcome.next == Next::READ_TOOL_REQUEST) {
      co_await finish_tool_request(loop.limits, socket, {buffer.data(), count}, *tool_request);
    }
    if (outcome.response == nullptr) co_return;
    co_await send_and_close(loop.limits, socket, *outcome.response, outcome.unread_body);
  } catch (const std::exception&) {
    // Only memory exhaustion gets here: this connection is dropped (the socket closes as the
    // frame unwinds) and the others carry on.
  }
}

}  // namespace qmr::ui
