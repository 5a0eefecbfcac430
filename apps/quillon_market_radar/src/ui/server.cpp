// The dashboard's loopback HTTP server on asio coroutines: one accept loop, one coroutine per
// connection that reads once, answers through respond_to_request and closes. The coroutines only
// move bytes; what the bytes mean is decided by the pure request handling.
#include <sys/resource.h>

#include <array>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <exception>
#include <span>
#include <utility>

#include "engine/console.hpp"
#include "ui/dashboard.hpp"

namespace qmr::ui {

namespace {

using asio::ip::tcp;
using Clock = asio::steady_timer::clock_type;

constexpr auto with_error = asio::experimental::as_tuple(asio::use_awaitable);

constexpr int LISTEN_BACKLOG = 128;

// How long the accept loop pauses after a failure that a later accept can overcome (no free
// descriptor, no memory): long enough not to spin, short enough that clients barely notice.
constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(50);

constexpr std::string_view STARTUP_DETAIL_LINES[] = {
    "    - Monopolies Slain: Keepa ($299/mo) + Helium10 + Fakespot + Prisync",
    "    - Active Sentinel: Price Tracker, Review Defect Miner & Jan Aushadhi Arbitrage",
    "    - Memory Footprint: ~11.2 MB RAM (100% On-Device, Air-Gapped)",
};

// Raises the soft open-file limit to the hard one, so that many simultaneous clients do not run
// the process out of descriptors early. A failure is ignored: the server still works, it only
// reaches the limit sooner (and then pauses its accepts rather than failing).
void raise_open_file_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// Opens, binds and sets listening `acceptor` on `endpoint`; returns the first failure. Address
// reuse lets a restarted server bind while connections of the previous one linger in TIME_WAIT;
// on Linux it never lets a second listener take a port that one already listens on.
asio::error_code open_listener(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
  asio::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(LISTEN_BACKLOG, error);
  return error;
}

// Runs one socket operation (a function of a completion token) and cancels it at `deadline`.
// Returns the operation's error and byte count; a cancelled operation reports operation_aborted.
template <typename Operation>
asio::awaitable<std::pair<asio::error_code, std::size_t>> before_deadline(
    asio::steady_timer& timer, Clock::time_point deadline, Operation operation) {
  timer.expires_at(deadline);
  auto [order, error, bytes, timer_error] =
      co_await asio::experimental::make_parallel_group(std::move(operation), [&timer](auto token) {
        return timer.async_wait(token);
      }).async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
  static_cast<void>(order);
  static_cast<void>(timer_error);
  co_return std::pair{error, bytes};
}

// Half-closes the sending side, then reads and drops what the client still sends until it closes,
// within the drain bounds. Closing a socket with unread data resets the connection, and a reset
// can destroy a response the client has not read yet.
asio::awaitable<void> drain(tcp::socket& socket, asio::steady_timer& timer, std::span<char> buffer,
                            const ConnectionLimits& limits) {
  asio::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  const auto deadline = Clock::now() + limits.drain_time;
  std::size_t drained = 0;
  while (drained < limits.drain_bytes) {
    const auto [error, bytes] = co_await before_deadline(timer, deadline, [&](auto token) {
      return socket.async_read_some(asio::buffer(buffer.data(), buffer.size()), token);
    });
    if (error || bytes == 0) break;
    drained += bytes;
  }
}

// One connection: one read, at most one response, then the close. Never awaited by the accept
// loop, so it catches its own failures.
asio::awaitable<void> handle_connection(tcp::socket socket, engine::EngineHandle engine,
                                        ConnectionLimits limits) {
  try {
    asio::steady_timer timer(socket.get_executor());
    std::array<char, REQUEST_BUFFER_SIZE> buffer{};
    const auto [read_error, bytes_read] = co_await before_deadline(
        timer, Clock::now() + limits.idle_timeout,
        [&](auto token) { return socket.async_read_some(asio::buffer(buffer), token); });
    // A failed read, a peer that closed and a peer silent for the whole idle time are treated
    // alike: the connection closes without a byte written.
    if (read_error || bytes_read == 0) co_return;

    const auto response = respond_to_request(std::string_view(buffer.data(), bytes_read), engine);
    if (!response) co_return;
    engine.reset();  // the answer is built; the store is not needed any longer

    // A write failure is ignored: the client has gone and the connection closes as usual.
    const auto [write_error, written] =
        co_await asio::async_write(socket, asio::buffer(*response), with_error);
    static_cast<void>(written);
    if (write_error) co_return;
    co_await drain(socket, timer, buffer, limits);
  } catch (const std::exception&) {
    // Only memory exhaustion while building the answer gets here: this connection is dropped
    // (the socket closes as the frame unwinds) and the others carry on.
  }
}

}  // namespace

asio::awaitable<Status> serve_dashboard(engine::EngineHandle engine, std::uint16_t port,
                                        ConnectionLimits limits) {
  raise_open_file_limit();
  const auto executor = co_await asio::this_coro::executor;
  const std::string address = "127.0.0.1:" + std::to_string(port);

  tcp::acceptor acceptor(executor);
  if (const auto error = open_listener(acceptor, {asio::ip::address_v4::loopback(), port})) {
    co_return Error{error.message()};
  }

  console::print_line("[+] Quillon Market Intelligence Web HUD live at http://" + address,
                      console::Colour::green, true);
  for (const auto line : STARTUP_DETAIL_LINES) console::print_line(line);

  asio::steady_timer pause(executor);
  for (;;) {
    auto [error, socket] = co_await acceptor.async_accept(with_error);
    if (!error) {
      asio::co_spawn(executor, handle_connection(std::move(socket), engine, limits),
                     asio::detached);
      continue;
    }
    if (error.category() != asio::system_category() || !is_transient_accept_error(error.value())) {
      co_return Error{error.message()};
    }
    pause.expires_after(ACCEPT_RETRY_DELAY);
    static_cast<void>(co_await pause.async_wait(with_error));
  }
}

}  // namespace qmr::ui
