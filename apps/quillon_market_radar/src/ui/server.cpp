// The dashboard's loopback HTTP server on asio coroutines: one listener, accepted from on a few of
// the runtime's event loops, each of which answers its connections through the pure request
// handling and closes them. One coroutine per connection; the coroutines only move bytes.
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
// Here a connection lives and dies on the loop, and so the thread, that accepted it.
//
// gcc 12 reports a possible null dereference in asio's reactor once it inlines it here
// (scheduler::compensating_work_started, which runs only on a thread inside the loop, where the
// pointer is set): a system header's code is exempt from our warnings, except when inlined. The
// exemption is restored for the headers included here; the warning holds for this file's code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#include "ui/server.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cerrno>
#pragma GCC diagnostic pop
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "base/console.hpp"
#include "base/descriptor_io.hpp"
#include "ui/closing_looks.hpp"
#include "ui/socket_deadline.hpp"

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
#ifndef _WIN32  // Windows has no such limit on sockets
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
#endif
}

// Returns the message of a failure that ends the server. On Windows, the port in use is told in
// Linux's words, as the other system errors are (Winsock's own message would differ by system).
std::string message_of(const asio::error_code& error) {
#ifdef _WIN32
  if (error == asio::error::address_in_use) return "Address already in use";
  if (error == asio::error::access_denied) return "Permission denied";
#endif
  return error.message();
}

// Opens, binds and sets listening `acceptor` on `endpoint`; returns the first failure. Address
// reuse lets a restarted server bind while connections of the previous one linger in TIME_WAIT;
// on Linux it never lets a second listener take a port that one already listens on. The backlog
// is the system's largest: with 128, a burst of a thousand clients overflowed the accept queue and
// each dropped handshake waited a second for the kernel to send it again.
asio::error_code open_listener(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
  asio::error_code error;
  acceptor.open(endpoint.protocol(), error);
#ifdef _WIN32
  // Windows' address reuse would let a second listener take the port; exclusive use refuses it
  // (with "address in use") and still binds beside connections in TIME_WAIT.
  using exclusive_address_use =
      asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
  if (!error) acceptor.set_option(exclusive_address_use(true), error);
#else
  if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
#endif
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

// The first failure that ends the server, handed from a worker's loop to the task that awaits
// the server. The channel is safe to use from any thread and holds one error; later ones are
// dropped. (The first error_code of the signature is the channel's own.) Workers hold it weakly:
// once the server has ended, nobody waits for it.
using Ending = asio::experimental::concurrent_channel<void(asio::error_code, asio::error_code)>;

void end_server(const std::weak_ptr<Ending>& ending, asio::error_code error) {
  if (const auto channel = ending.lock()) {
    static_cast<void>(channel->try_send(asio::error_code(), error));
  }
}

// Reads and drops what the client still sends until it closes, the deadline passes or
// `drain_bytes` have come in all. Closing a socket with unread data resets the connection, and a
// reset can destroy a response the client has not read yet.
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

#if QMR_LINUX_FAST_PATH
// Returns the connection as a socket of `loop`, or nothing when the loop cannot take it; the
// connection is closed then.
std::optional<tcp::socket> adopt(asio::io_context& loop, descriptor_io::OwnedFd fd) {
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
#endif

// What the server holds on one of the loops it accepts on. Used from that loop only, and owned
// by the tasks there: the accept loop and each connection hold it, so it lives while any of them
// runs, and goes with its loop at the latest.
struct Worker {
  Worker(asio::io_context& loop, const ConnectionLimits& connection_limits,
         const engine::EngineHandle& engine, std::weak_ptr<Ending> server_ending)
      : context(loop), limits(connection_limits), fixed(engine), ending(std::move(server_ending)) {}

  asio::io_context& context;
  ConnectionLimits limits;
  const FixedResponses fixed;
  tcp::acceptor listener{context};  // this loop's descriptor of the listening socket
  std::weak_ptr<Ending> ending;
#if QMR_LINUX_FAST_PATH
  // Connections still open after their last closing look are drained in the event loop.
  ClosingLooks looks{context, limits.drain_bytes, [this](ClosingLooks::Entry entry) {
                       asio::co_spawn(context,
                                      drain_in_loop(context, limits.drain_bytes, std::move(entry)),
                                      asio::detached);
                     }};
#endif
};
using WorkerHandle = std::shared_ptr<Worker>;

// Writes what is left of a response, half-closes and drains: the end of every connection that
// is answered in the event loop. A failed write is ignored: the client has gone.
asio::awaitable<void> send_and_close(const Worker& worker, tcp::socket& socket,
                                     std::string_view rest) {
  const auto [error, written] = co_await asio::async_write(socket, asio::buffer(rest), with_error);
  static_cast<void>(written);
  if (error) co_return;
  asio::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  co_await drain(worker.limits.drain_bytes, socket, 0, Clock::now() + worker.limits.drain_time);
}

// One connection the plain way: one read, at most one response, then the close. Never awaited by
// the accept loop, so it catches its own failures.
asio::awaitable<void> serve_connection(WorkerHandle owner, tcp::socket socket,
                                       engine::EngineHandle engine) {
  const Worker& worker = *owner;
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
    const std::string* response =
        respond_to_request({buffer.data(), count}, engine, worker.fixed, built);
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

// One connection the Linux way: the plain way's steps, entering the event loop only when it has
// to wait: for a request that has not arrived, for room to send, or for the client to close.
asio::awaitable<void> handle_connection(WorkerHandle owner, descriptor_io::OwnedFd fd,
                                        engine::EngineHandle engine) {
  Worker& worker = *owner;
  try {
    std::array<char, REQUEST_BUFFER_SIZE> buffer;
    ssize_t bytes_read = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
    if (bytes_read < 0 && would_block(errno)) {
      // A silent client is served the plain way, in the event loop.
      auto socket = adopt(worker.context, std::move(fd));
      if (socket) co_await serve_connection(owner, std::move(*socket), std::move(engine));
      co_return;
    }
    if (bytes_read <= 0) co_return;

    std::string built;
    const std::string* response = respond_to_request(
        {buffer.data(), static_cast<std::size_t>(bytes_read)}, engine, worker.fixed, built);
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
      auto socket = adopt(worker.context, std::move(fd));
      if (socket) co_await send_and_close(worker, *socket, rest);
      co_return;
    }
    ::shutdown(fd.get(), SHUT_WR);
    worker.looks.add(std::move(fd), Clock::now() + worker.limits.drain_time);
  } catch (const std::exception&) {
    // Only memory exhaustion gets here: this connection is dropped (the socket closes as the
    // frame unwinds) and the others carry on.
  }
}

// Accepts every pending connection and starts a task for each on the worker's loop. Returns the
// failure of the listener itself; one that a later accept can overcome pauses it instead.
asio::awaitable<asio::error_code> accept_pending(const WorkerHandle& worker,
                                                 const engine::EngineHandle& engine) {
  for (;;) {
    const int fd =
        ::accept4(worker->listener.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      const int failure = errno;
      if (failure == EINTR) continue;
      if (would_block(failure)) co_return asio::error_code();  // the queue is empty
      co_return asio::error_code(failure, asio::system_category());
    }
    // Out of memory, the connection at hand closes as its descriptor's owner goes.
    asio::co_spawn(worker->context, handle_connection(worker, descriptor_io::OwnedFd(fd), engine),
                   asio::detached);
  }
}

asio::awaitable<asio::error_code> accept_next(const WorkerHandle& worker,
                                              const engine::EngineHandle& engine) {
  const auto [error] = co_await worker->listener.async_wait(tcp::acceptor::wait_read, with_error);
  if (error) co_return error;
  co_return co_await accept_pending(worker, engine);
}

#else

asio::awaitable<asio::error_code> accept_next(const WorkerHandle& worker,
                                              const engine::EngineHandle& engine) {
  auto [error, socket] = co_await worker->listener.async_accept(worker->context, with_error);
  if (error) co_return error;
  asio::co_spawn(worker->context, serve_connection(worker, std::move(socket), engine),
                 asio::detached);
  co_return asio::error_code();
}

#endif

// Returns whether an accept's failure is the listener's own, which a later accept would meet
// again. Winsock's codes are not errno values: a closed listener is told by asio's names.
bool ends_listener(const asio::error_code& error) {
#ifdef _WIN32
  return error == asio::error::operation_aborted || error == asio::error::bad_descriptor ||
         error == asio::error::not_socket || error == asio::error::invalid_argument;
#else
  return !is_transient_accept_error(error.value());
#endif
}

// Takes connections until the listener fails. A failure a later accept can overcome (no free
// descriptor, no memory for the connection at hand, which is dropped) pauses the loop briefly.
asio::awaitable<void> accept_connections(WorkerHandle worker, engine::EngineHandle engine) {
  asio::steady_timer pause(worker->context);
  for (;;) {
    asio::error_code error;
    try {
      error = co_await accept_next(worker, engine);
    } catch (const std::bad_alloc&) {
      error = std::make_error_code(std::errc::not_enough_memory);
    }
    if (!error) continue;
#ifdef _WIN32
    // A connection its client reset before it was taken: the next one is taken at once. asio
    // retries Windows' own code for it (ERROR_NETNAME_DELETED) itself; Wine reports an unexpected
    // network error instead, and a pause for each would keep a storm of resets waiting seconds.
    if (error == asio::error::connection_aborted || error == asio::error::connection_reset ||
        error.value() == ERROR_UNEXP_NET_ERR) {
      continue;
    }
#endif
    if (ends_listener(error)) {
      end_server(worker->ending, error);
      co_return;
    }
    pause.expires_after(ACCEPT_RETRY_DELAY);
    static_cast<void>(co_await pause.async_wait(with_error));
  }
}

// Ends the server with the exception an accept loop ended with, if any. What is neither a system
// error nor exhausted memory is a broken invariant and stops the process.
void end_on_failure(const std::weak_ptr<Ending>& ending, const std::exception_ptr& failure) {
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

// Starts accepting on the first half of the runtime's loops, at least one, each with a descriptor
// of its own for the listener; `started` receives each worker. Returns the error of the first
// that cannot start. Half: the clients of a loopback server run on the same processors, and the
// kernel's share of one connection is about as large on their side as on ours; more loops only
// add context switches (measured with wrk -c64 on 2 processors: two loops, 20,000 switches a
// second; one loop, 3,000, and 15% more requests answered).
asio::error_code start_workers(tcp::acceptor& listener, const engine::EngineHandle& engine,
                               LoopPool& loops, const ConnectionLimits& limits,
                               const std::shared_ptr<Ending>& ending,
                               std::vector<std::weak_ptr<Worker>>& started) {
#ifdef _WIN32
  // A socket is bound to the completion port of one loop for good: one worker, on the listener's
  // own loop, takes the listener itself.
  const std::size_t count = 1;
#else
  const std::size_t count = std::max<std::size_t>(1, loops.size() / 2);
#endif
  for (std::size_t i = 0; i < count; ++i) {
#ifdef _WIN32
    auto worker = std::make_shared<Worker>(static_cast<asio::io_context&>(asio::query(
                                               listener.get_executor(), asio::execution::context)),
                                           limits, engine, ending);
    worker->listener = std::move(listener);
    static_cast<void>(loops);
#else
    auto worker = std::make_shared<Worker>(loops.loop(i), limits, engine, ending);
    const int fd = ::fcntl(listener.native_handle(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return {errno, asio::system_category()};
    asio::error_code error;
    worker->listener.assign(tcp::v4(), fd, error);
    if (error) {
      ::close(fd);
      return error;
    }
#endif
    started.push_back(worker);
    // The loop reports its own ending; an exception that escapes it anyway (no memory to report
    // with) ends the server too.
    asio::co_spawn(worker->context, accept_connections(worker, engine),
                   [ending = std::weak_ptr(ending)](const std::exception_ptr& failure) {
                     end_on_failure(ending, failure);
                   });
  }
  return {};
}

// Closes each worker's listener on its own loop: its accept loop ends, and the connections in
// hand finish as usual.
void stop_workers(const std::vector<std::weak_ptr<Worker>>& workers) {
  for (const auto& weak : workers) {
    if (auto worker = weak.lock()) {
      asio::io_context& loop = worker->context;
      asio::post(loop, [worker = std::move(worker)] {
        asio::error_code ignored;
        worker->listener.close(ignored);
      });
    }
  }
}

}  // namespace

asio::awaitable<Status> serve_dashboard(engine::EngineHandle engine, std::uint16_t port,
                                        LoopPool& loops, ConnectionLimits limits) {
  raise_open_file_limit();
  const auto executor = co_await asio::this_coro::executor;
  const std::string address = "127.0.0.1:" + std::to_string(port);

  tcp::acceptor acceptor(executor);
  if (const auto error = open_listener(acceptor, {asio::ip::address_v4::loopback(), port})) {
    co_return Error{message_of(error)};
  }

  console::print_line("[+] Quillon Market Intelligence Web HUD live at http://" + address,
                      console::Colour::GREEN, true);
  for (const auto line : STARTUP_DETAIL_LINES) console::print_line(line);

  const auto ending = std::make_shared<Ending>(executor, 1);
  // Held weakly: the workers belong to the tasks on their loops, which may outlive this frame.
  std::vector<std::weak_ptr<Worker>> workers;
  if (const auto error = start_workers(acceptor, engine, loops, limits, ending, workers)) {
    stop_workers(workers);
    co_return Error{message_of(error)};
  }
  // The workers' descriptors keep the listener open; this one goes. Released first, so that it
  // leaves this loop's polling explicitly: closing one of several descriptors of a socket does
  // not, and every incoming connection would wake this loop for it too.
#ifndef _WIN32  // on Windows the worker has taken it
  asio::error_code ignored;
  ::close(acceptor.release(ignored));
#endif
  const auto [channel_error, error] = co_await ending->async_receive(with_error);
  static_cast<void>(channel_error);
  stop_workers(workers);
  co_return Error{message_of(error)};
}

}  // namespace qmr::ui
