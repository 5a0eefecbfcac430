// The dashboard's loopback HTTP server on asio coroutines: one listener, and on each of a few
// worker threads an event loop of its own that accepts from it, answers through the pure request
// handling and closes. One coroutine per connection; the coroutines only move bytes.
//
// Two ways to serve a connection, chosen at build time. The plain one is asio's own shape: accept,
// read with an idle timeout, write, half-close, drain for a bounded time, close. The Linux one
// (QMR_LINUX_FAST_PATH) is a measured refinement of it: connections are taken with accept4 once
// their request has arrived (TCP_DEFER_ACCEPT), read and answered with plain recv/send, and the
// response's last bytes leave with the FIN (MSG_MORE); the closing look for the client's end of
// stream is deferred a moment, so about 98% of connections never enter the event loop at all.
//
// Why a loop per thread rather than one shared io_context: with a connection per request, most
// of the cost is the kernel's, and what the server adds is what it does around each connection.
// On one shared io_context every connection was handed between threads (locks, futex wake-ups).
// Here a connection lives and dies on the thread that accepted it.
#include "ui/server.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/multiple_exceptions.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/console.hpp"
#include "base/descriptor_io.hpp"
#include "ui/drain_schedule.hpp"

namespace qmr::ui {

namespace {

using asio::ip::tcp;
using Clock = asio::steady_timer::clock_type;

constexpr auto with_error = asio::experimental::as_tuple(asio::use_awaitable);

// How long an accept loop pauses after a failure that a later accept can overcome (no free
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
// on Linux it never lets a second listener take a port that one already listens on. The backlog
// is the system's largest: with 128, a burst of a thousand clients overflowed the accept queue and
// each dropped handshake waited a second for the kernel to send it again.
asio::error_code open_listener(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
  asio::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(tcp::acceptor::max_listen_connections, error);
  // Several loops accept from it: one that finds the queue empty must not block.
  if (!error) acceptor.non_blocking(true, error);
#if QMR_LINUX_FAST_PATH
  if (!error) {
    // Connections inherit delayed acknowledgements from the listener: the request is then
    // acknowledged by the response itself, which follows within microseconds, instead of by a
    // segment of its own. Failing that, one segment more, nothing worse.
    const int quick_acks = 0;
    ::setsockopt(acceptor.native_handle(), IPPROTO_TCP, TCP_QUICKACK, &quick_acks,
                 sizeof quick_acks);
    // A connection is taken once its request has arrived, or after this many seconds without
    // one: a client then costs nothing between its handshake and its request, and a silent one
    // is still taken, and closed after the idle time. Failing that, connections are taken at
    // their handshake, as without it.
    const int defer_accept_seconds = 1;
    ::setsockopt(acceptor.native_handle(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer_accept_seconds,
                 sizeof defer_accept_seconds);
  }
#endif
  return error;
}

// Cancels a socket's waits once its time limit passes; a timer of its own per waiting socket.
// The timer's handler holds the shared state, not the socket: a handler already queued when the
// wait ends finds the socket gone and does nothing. Nothing is linked anywhere, so a throw in the
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
  SocketDeadline(const SocketDeadline&) = delete;
  SocketDeadline& operator=(const SocketDeadline&) = delete;
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

// The first failure that ends the server, handed from a worker thread to the task that awaits
// the server. The channel is safe to use from any thread and holds one error; later ones are
// dropped. (The first error_code of the signature is the channel's own.)
using Ending = asio::experimental::concurrent_channel<void(asio::error_code, asio::error_code)>;

void end_server(Ending& ending, asio::error_code error) {
  static_cast<void>(ending.try_send(asio::error_code(), error));
}

#if QMR_LINUX_FAST_PATH
// A socket descriptor not (yet) in any event loop, closed when the value goes.
class OwnedFd {
 public:
  explicit OwnedFd(int fd) : fd_(fd) {}
  OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  ~OwnedFd() {
    if (fd_ >= 0) ::close(fd_);
  }

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// How long after its response a connection is looked at for the client's end of stream: first
// after DRAIN_CHECK_DELAYS[0], and if the client has not closed by then, once more after
// DRAIN_CHECK_DELAYS[1]. An idle client closes within a fraction of a millisecond on loopback, a
// busy one (a load generator with many connections) within a few; either way its socket goes
// without entering the event loop. Only a client still open at the second look is waited for
// there.
constexpr std::array<Clock::duration, 2> DRAIN_CHECK_DELAYS = {std::chrono::milliseconds(2),
                                                               std::chrono::milliseconds(20)};
using DrainChecks = DrainSchedule<OwnedFd>;
#endif

// What a worker thread holds for its connections. Used from its thread only.
struct Worker {
  Worker(const ConnectionLimits& connection_limits, const FixedResponses& fixed_responses)
      : limits(connection_limits), fixed(fixed_responses) {}

  asio::io_context context{1};
  ConnectionLimits limits;
  const FixedResponses& fixed;
#if QMR_LINUX_FAST_PATH
  DrainChecks checks{DRAIN_CHECK_DELAYS};  // connections due for a closing look
  asio::steady_timer checks_timer{context};
  std::optional<Clock::time_point> checks_armed_for;  // while a wait of the timer is pending
#endif
  std::thread thread;
};

// Returns the framed answer to one read's bytes, or null when the connection closes without one.
// `built` holds an answer that is not one of the fixed ones.
const std::string* answer(const Worker& worker, std::string_view request,
                          const engine::EngineHandle& engine, std::string& built) {
  const auto line = parse_request_line(request);
  if (!line) return nullptr;
  if (const std::string* fixed = worker.fixed.find(*line)) return fixed;
  built = frame_response(route_request(line->method, line->path, engine));
  return &built;
}

// Reads and drops what the client still sends until it closes, the deadline passes or
// drain_bytes have come in all. Closing a socket with unread data resets the connection, and a
// reset can destroy a response the client has not read yet.
asio::awaitable<void> drain(const Worker& worker, tcp::socket& socket, std::size_t drained,
                            Clock::time_point deadline) {
  std::array<char, REQUEST_BUFFER_SIZE> buffer;
  const SocketDeadline limit(socket, deadline);
  while (drained < worker.limits.drain_bytes && !limit.expired()) {
    const auto [error, count] = co_await socket.async_read_some(asio::buffer(buffer), with_error);
    if (error || count == 0) break;
    drained += count;
  }
}

// Writes what is left of a response, half-closes and drains: the end of every connection that
// is answered in the event loop. A failed write is ignored: the client has gone.
asio::awaitable<void> send_and_close(const Worker& worker, tcp::socket& socket,
                                     std::string_view rest) {
  const auto [error, written] = co_await asio::async_write(socket, asio::buffer(rest), with_error);
  static_cast<void>(written);
  if (error) co_return;
  asio::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  co_await drain(worker, socket, 0, Clock::now() + worker.limits.drain_time);
}

// One connection the plain way: one read, at most one response, then the close. Never awaited by
// the accept loop, so it catches its own failures.
asio::awaitable<void> serve_connection(const Worker& worker, tcp::socket socket,
                                       engine::EngineHandle engine) {
  try {
    std::array<char, REQUEST_BUFFER_SIZE> buffer;
    std::size_t count = 0;
    {
      const SocketDeadline idle(socket, Clock::now() + worker.limits.idle_timeout);
      const auto [error, read] = co_await socket.async_read_some(asio::buffer(buffer), with_error);
      // A failed read, a peer that closed and a peer silent for the whole idle time are treated
      // alike: the connection closes without a byte written.
      if (error) co_return;
      count = read;
    }
    std::string built;
    const std::string* response = answer(worker, {buffer.data(), count}, engine, built);
    if (response == nullptr) co_return;
    engine.reset();  // the answer is built; the store is not needed any longer
    co_await send_and_close(worker, socket, *response);
  } catch (const std::exception&) {
    // Only memory exhaustion gets here: this connection is dropped (the socket closes as the
    // frame unwinds) and the others carry on.
  }
}

#if QMR_LINUX_FAST_PATH

// True for the errno values of a call on a non-blocking socket that found nothing to do yet.
bool would_block(int error_number) {
  return error_number == EINTR || descriptor_io::would_block(error_number);
}

// Returns the connection as a socket of the worker's event loop, or nothing when the loop cannot
// take it; the connection is closed then.
std::optional<tcp::socket> adopt(Worker& worker, OwnedFd fd) {
  tcp::socket socket(worker.context);
  asio::error_code error;
  socket.assign(tcp::v4(), fd.get(), error);
  if (error) return std::nullopt;
  static_cast<void>(fd.release());
  return socket;
}

asio::awaitable<void> drain_in_loop(Worker& worker, OwnedFd fd, std::size_t drained,
                                    Clock::time_point deadline) {
  try {
    auto socket = adopt(worker, std::move(fd));
    if (socket) co_await drain(worker, *socket, drained, deadline);
  } catch (const std::exception&) {
    // Out of memory: the socket closes as the frame unwinds.
  }
}

void look_at_due(Worker& worker);

// Sets the check timer for the earliest look to come, unless a wait is pending for that time or
// an earlier one. The handler runs only on the worker's loop, which is stopped before the worker
// goes. A handler that was already due when the timer was set again runs once more than needed,
// which is harmless.
void arm_checks(Worker& worker) {
  const auto next = worker.checks.next_due();
  if (!next || (worker.checks_armed_for && *worker.checks_armed_for <= *next)) return;
  worker.checks_armed_for.reset();
  worker.checks_timer.expires_at(*next);
  worker.checks_timer.async_wait([&worker](const asio::error_code& error) {
    if (error) return;  // set again, or stopped
    worker.checks_armed_for.reset();
    look_at_due(worker);
  });
  worker.checks_armed_for = *next;
}

// Queues a connection for a closing look. Out of memory, the connection is dropped (closed), or
// the timer is left unset until the next connection sets it.
void schedule_look(Worker& worker, DrainChecks::Entry entry) {
  try {
    worker.checks.add(std::move(entry), Clock::now());
    arm_checks(worker);
  } catch (const std::bad_alloc&) {
  }
}

// Looks at each due connection: what it sent is dropped, and at its end of stream, or past the
// drain bounds, its socket is released. The others get their next look, or after the last one
// are drained in the event loop.
void look_at_due(Worker& worker) {
  std::array<char, REQUEST_BUFFER_SIZE> buffer;
  const auto now = Clock::now();
  try {
    for (auto& entry : worker.checks.take_due(now)) {
      while (entry.drained < worker.limits.drain_bytes && now < entry.deadline) {
        const ssize_t count =
            ::recv(entry.handle.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (count > 0) {
          entry.drained += static_cast<std::size_t>(count);
          continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && would_block(errno)) {
          if (worker.checks.has_next_look(entry.look)) {
            ++entry.look;
            worker.checks.add(std::move(entry), now);
          } else {
            asio::co_spawn(
                worker.context,
                drain_in_loop(worker, std::move(entry.handle), entry.drained, entry.deadline),
                asio::detached);
          }
        }
        break;  // end of stream, or a failure: the socket is released
      }
    }
  } catch (const std::bad_alloc&) {
    // The connection at hand was dropped (closed); the others still get their look.
  }
  try {
    arm_checks(worker);
  } catch (const std::bad_alloc&) {
    // Set by the next connection that is queued.
  }
}

// One connection the Linux way: the plain way's steps, entering the event loop only when it has
// to wait: for a request that has not arrived, for room to send, or for the client to close.
asio::awaitable<void> handle_connection(Worker& worker, OwnedFd fd, engine::EngineHandle engine) {
  try {
    std::array<char, REQUEST_BUFFER_SIZE> buffer;
    ssize_t bytes_read = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
    if (bytes_read < 0 && would_block(errno)) {
      // A silent client is served the plain way, in the event loop.
      auto socket = adopt(worker, std::move(fd));
      if (socket) co_await serve_connection(worker, std::move(*socket), std::move(engine));
      co_return;
    }
    if (bytes_read <= 0) co_return;

    std::string built;
    const std::string* response =
        answer(worker, {buffer.data(), static_cast<std::size_t>(bytes_read)}, engine, built);
    if (response == nullptr) co_return;
    engine.reset();

    // The send is marked as having more to come, so that the FIN of the half-close below leaves
    // in the same segment as the response's last bytes. A failed send is ignored: the client has
    // gone and the connection closes as usual.
    std::string_view rest = *response;
    const ssize_t sent = ::send(fd.get(), rest.data(), rest.size(), MSG_NOSIGNAL | MSG_MORE);
    if (sent < 0 && !would_block(errno)) co_return;
    if (sent == 0 && !rest.empty()) co_return;  // a write that takes nothing has failed
    if (sent > 0) rest.remove_prefix(static_cast<std::size_t>(sent));
    if (!rest.empty()) {  // no room to send it all: the rest is sent from the event loop
      auto socket = adopt(worker, std::move(fd));
      if (socket) co_await send_and_close(worker, *socket, rest);
      co_return;
    }
    ::shutdown(fd.get(), SHUT_WR);
    schedule_look(worker, {std::move(fd), Clock::now() + worker.limits.drain_time});
  } catch (const std::exception&) {
    // Only memory exhaustion gets here: this connection is dropped (the socket closes as the
    // frame unwinds) and the others carry on.
  }
}

// Accepts every pending connection and starts a task for each on this thread's loop. Returns the
// failure of the listener itself; one that a later accept can overcome pauses it instead.
asio::awaitable<asio::error_code> accept_pending(Worker& worker, tcp::acceptor& listener,
                                                 const engine::EngineHandle& engine) {
  for (;;) {
    const int fd =
        ::accept4(listener.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      const int failure = errno;
      if (failure == EINTR) continue;
      if (would_block(failure)) co_return asio::error_code();  // the queue is empty
      co_return asio::error_code(failure, asio::system_category());
    }
    // Out of memory, the connection at hand closes as its descriptor's owner goes.
    asio::co_spawn(worker.context, handle_connection(worker, OwnedFd(fd), engine), asio::detached);
  }
}

asio::awaitable<asio::error_code> accept_next(Worker& worker, tcp::acceptor& listener,
                                              const engine::EngineHandle& engine) {
  const auto [error] = co_await listener.async_wait(tcp::acceptor::wait_read, with_error);
  if (error) co_return error;
  co_return co_await accept_pending(worker, listener, engine);
}

#else

asio::awaitable<asio::error_code> accept_next(Worker& worker, tcp::acceptor& listener,
                                              const engine::EngineHandle& engine) {
  auto [error, socket] = co_await listener.async_accept(worker.context, with_error);
  if (error) co_return error;
  asio::co_spawn(worker.context, serve_connection(worker, std::move(socket), engine),
                 asio::detached);
  co_return asio::error_code();
}

#endif

// Takes connections until the listener fails. A failure a later accept can overcome (no free
// descriptor, no memory for the connection at hand, which is dropped) pauses the loop briefly.
asio::awaitable<void> accept_connections(Worker& worker, tcp::acceptor listener,
                                         engine::EngineHandle engine,
                                         std::shared_ptr<Ending> ending) {
  asio::steady_timer pause(worker.context);
  for (;;) {
    asio::error_code error;
    try {
      error = co_await accept_next(worker, listener, engine);
    } catch (const std::bad_alloc&) {
      error = std::make_error_code(std::errc::not_enough_memory);
    }
    if (!error) continue;
    if (!is_transient_accept_error(error.value())) {
      end_server(*ending, error);
      co_return;
    }
    pause.expires_after(ACCEPT_RETRY_DELAY);
    static_cast<void>(co_await pause.async_wait(with_error));
  }
}

// Ends the server with the exception an accept loop ended with, if any. What is neither a system
// error nor exhausted memory is a broken invariant and stops the process.
void end_on_failure(Ending& ending, const std::exception_ptr& failure) {
  if (!failure) return;
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    end_server(ending, std::make_error_code(std::errc::not_enough_memory));
  } catch (const std::system_error& error) {
    end_server(ending, error.code());
  } catch (const std::exception& error) {
    fatal(std::string("internal error: ") + error.what());
  }
}

// Stops the process for an exception that left a worker's loop. asio reports a failure that met
// another on its way out as multiple_exceptions; the first one tells what happened.
[[noreturn]] void stop_for(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const asio::multiple_exceptions& failures) {
    stop_for(failures.first_exception());
  } catch (const std::bad_alloc&) {
    fatal("memory allocation failed");
  } catch (const std::exception& error) {
    fatal(std::string("internal error: ") + error.what());
  }
  fatal("internal error: unknown exception");
}

// Stops the process when a worker's loop cannot go on: its accept loop failed in a way it could
// not report (no memory even for that), or a handler threw. A process never stays alive without
// its listener.
void run_worker(Worker& worker) {
  try {
    worker.context.run();
  } catch (const std::exception&) {
    stop_for(std::current_exception());
  }
}

// The worker threads, stopped and joined when the pool goes (the server ended, or the task that
// awaited it was destroyed with its runtime).
class WorkerPool {
 public:
  WorkerPool(const ConnectionLimits& limits, const engine::EngineHandle& engine) : fixed_(engine) {
    // Half the logical processors, at least one. The clients of a loopback server run on the
    // same processors, and the kernel's share of one connection is about as large on their side
    // as on ours; more loops only add context switches (measured with wrk -c64 on 2 processors:
    // two loops, 20,000 switches a second; one loop, 3,000, and 15% more requests answered).
    const unsigned count = std::max(1u, std::thread::hardware_concurrency() / 2);
    for (unsigned i = 0; i < count; ++i) {
      workers_.push_back(std::make_unique<Worker>(limits, fixed_));
    }
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool() {
    for (auto& worker : workers_) worker->context.stop();
    for (auto& worker : workers_) {
      if (worker->thread.joinable()) worker->thread.join();
    }
  }

  // Starts each worker's accept loop on a descriptor of its own for the listener. Returns the
  // error of the first that cannot start.
  [[nodiscard]] asio::error_code start(tcp::acceptor& listener, const engine::EngineHandle& engine,
                                       const std::shared_ptr<Ending>& ending) {
    for (auto& worker : workers_) {
      const int fd = ::fcntl(listener.native_handle(), F_DUPFD_CLOEXEC, 0);
      if (fd < 0) return {errno, asio::system_category()};
      tcp::acceptor own(worker->context);
      asio::error_code error;
      own.assign(tcp::v4(), fd, error);
      if (error) {
        ::close(fd);
        return error;
      }
      // The loop reports its own ending; an exception that escapes it anyway (no memory to
      // report with) ends the server too.
      asio::co_spawn(worker->context, accept_connections(*worker, std::move(own), engine, ending),
                     [ending](std::exception_ptr failure) { end_on_failure(*ending, failure); });
    }
    try {
      for (auto& worker : workers_) {
        Worker* self = worker.get();
        worker->thread = std::thread([self] { run_worker(*self); });
      }
    } catch (const std::system_error& error) {
      return error.code();
    }
    return {};
  }

 private:
  FixedResponses fixed_;
  std::vector<std::unique_ptr<Worker>> workers_;
};

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

  const auto ending = std::make_shared<Ending>(executor, 1);
  WorkerPool workers(limits, engine);
  if (const auto error = workers.start(acceptor, engine, ending)) co_return Error{error.message()};
  // The workers' descriptors keep the listener open; this one goes. Released first, so that it
  // leaves the runtime's event loop explicitly: closing one of several descriptors of a socket
  // does not, and every incoming connection would wake that loop too.
  asio::error_code ignored;
  ::close(acceptor.release(ignored));
  const auto [channel_error, error] = co_await ending->async_receive(with_error);
  static_cast<void>(channel_error);
  // The pool stops the other workers as this frame unwinds; the listener closes with it.
  co_return Error{error.message()};
}

}  // namespace qmr::ui
