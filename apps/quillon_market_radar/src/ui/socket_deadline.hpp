// The time limit of a socket that waits in the event loop: the dashboard's idle timeout and the
// bound on its drain. A timer of its own per waiting socket, which only the few sockets that
// wait at all need.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <memory>

namespace qmr::ui {

/// Cancels a socket's waits once its time limit passes; a timer of its own per waiting socket.
/// The timer's handler holds the shared state, not the socket: a handler already queued when the
/// wait ends finds the socket gone and does nothing. Nothing is linked anywhere, so a throw in the
/// constructor leaves nothing behind.
class SocketDeadline {
 public:
  SocketDeadline(asio::ip::tcp::socket& socket, asio::steady_timer::time_point deadline)
      : state_(std::make_shared<State>(State{&socket, false})),
        timer_(socket.get_executor(), deadline) {
    timer_.async_wait([state = state_](const asio::error_code& error) {
      if (error || state->socket == nullptr) return;
      state->expired = true;
      asio::error_code ignored;
      state->socket->cancel(ignored);
    });
  }
  SocketDeadline(const SocketDeadline&) = delete;
  SocketDeadline& operator=(const SocketDeadline&) = delete;
  ~SocketDeadline() { state_->socket = nullptr; }  // the timer cancels its wait as it goes

  /// True once the deadline has passed (the socket's waits were cancelled then).
  [[nodiscard]] bool expired() const { return state_->expired; }

 private:
  struct State {
    asio::ip::tcp::socket* socket;
    bool expired;
  };
  std::shared_ptr<State> state_;
  asio::steady_timer timer_;
};

}  // namespace qmr::ui
