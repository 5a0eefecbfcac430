// The dashboard's loopback HTTP server on asio coroutines: one listener, accepted from on a few of
// the runtime's event loops, each of which answers its connections through the pure request
// handling and closes them. One coroutine per connection; the coroutines only move bytes.
//
// A connection served here goes asio's own way: accept, read with an idle timeout, write,
// half-close, drain for a bounded time, close. How a loop takes its connections is picked at
// build time (accept.hpp); what differs between systems about the listening socket is in
// listener.hpp.
//
// Why a loop per thread rather than one shared io_context: with a connection per request, most
// of the cost is the kernel's, and what the server adds is what it does around each connection.
// On one shared io_context every connection was handed between threads (locks, futex wake-ups).
// Here a connection lives and dies on the loop, and so the thread, that accepted it.
#include "ui/asio.hpp"
// ui/asio.hpp before everything else: see there.
#include <array>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "base/console.hpp"
#include "ui/accept.hpp"
#include "ui/listener.hpp"
#include "ui/server.hpp"

namespace qmr::ui {

using asio::ip::tcp;
using Clock = asio::steady_timer::clock_type;

namespace {

// How long an accept loop pauses after a failure that a later accept can overcome (no free
// descriptor, no memory): long enough not to spin, short enough that clients barely notice.
constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(50);

constexpr std::string_view STARTUP_DETAIL_LINES[] = {
    "    - Monopolies Slain: Keepa ($299/mo) + Helium10 + Fakespot + Prisync",
    "    - Active Sentinel: Price Tracker, Review Defect Miner & Jan Aushadhi Arbitrage",
    "    - Memory Footprint: ~11.2 MB RAM (100% On-Device, Air-Gapped)",
};

void end_server(const std::weak_ptr<Ending>& ending, asio::error_code error) {
  if (const auto channel = ending.lock()) {
    static_cast<void>(channel->try_send(asio::error_code(), error));
  }
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
    if (!error || is_dropped_connection(error)) continue;
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

// The room a tool-server request holds for its head and body in its loop's budget, which has
// that much left, given back when the request is done with, however that happens.
class ToolBytesHeld {
 public:
  ToolBytesHeld(Worker& worker, std::size_t bytes) : worker_(worker), bytes_(bytes) {
    worker_.tool_bytes_held += bytes;
  }
  ToolBytesHeld(const ToolBytesHeld&) = delete;
  ToolBytesHeld& operator=(const ToolBytesHeld&) = delete;
  ~ToolBytesHeld() { worker_.tool_bytes_held -= bytes_; }

 private:
  Worker& worker_;
  std::size_t bytes_;
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
asio::awaitable<void> send_and_close(const Worker& worker, tcp::socket& socket,
                                     std::string_view rest) {
  const auto [error, written] = co_await asio::async_write(socket, asio::buffer(rest), with_error);
  static_cast<void>(written);
  if (error) co_return;
  asio::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  co_await drain(worker.limits.drain_bytes, socket, 0, Clock::now() + worker.limits.drain_time);
}

// The whole request must arrive within the idle time, or the connection closes without an answer.
//
// Memory: a request's head is read into a string of at most TOOL_HEAD_LIMIT bytes, and its body
// only once the loop's budget (limits.tool_request_budget) has room for the whole request; the
// 503 answer says there is none. The worst case of a loop is then one head of 8 KiB per open
// connection plus the budget: with 1,000 connections, 8 MiB of heads and 16 MiB of bodies.
asio::awaitable<void> finish_tool_request(WorkerHandle owner, tcp::socket& socket,
                                          std::string_view first_read) {
  Worker& worker = *owner;
  const ToolPath& tools = *worker.tools;
  std::string reply;
  {
    std::string request(first_read);
    std::optional<ToolBytesHeld> held;
    const SocketDeadline limit(socket, Clock::now() + worker.limits.idle_timeout);
    for (;;) {
      const ToolProgress progress = tools.respond(request, reply);
      if (progress.next == ToolProgress::Next::ANSWER) break;
      const bool body = progress.next == ToolProgress::Next::READ_BODY;
      if (body && !held) {
        if (progress.request_size > worker.limits.tool_request_budget - worker.tool_bytes_held) {
          reply = tools.busy_reply(request);
          break;
        }
        held.emplace(worker, progress.request_size);
        request.reserve(progress.request_size);  // what the budget holds is what is allocated
        if (progress.awaits_continue) {
          const auto [error, written] =
              co_await asio::async_write(socket, asio::buffer(CONTINUE), with_error);
          static_cast<void>(written);
          if (error) co_return;  // the client has gone
        }
      }
      // The size the request may reach with this read.
      const std::size_t wanted = body ? progress.request_size : TOOL_HEAD_LIMIT;
      const std::size_t had = request.size();
      request.resize(wanted);
      const auto [error, count] = co_await socket.async_read_some(
          asio::buffer(request.data() + had, wanted - had), with_error);
      if (error) co_return;  // as for the first read
      request.resize(had + count);
    }
  }
  co_await send_and_close(worker, socket, reply);
}

// Never awaited by the accept loop, so it catches its own failures.
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
      // alike: the connection closes without a byte written (so too in finish_tool_request).
      if (error) co_return;
      count = read;
    }
    const std::string_view first_read(buffer.data(), count);
    std::string built;
    const auto [response, reads_on] =
        answer_first_read(first_read, engine, worker.fixed, worker.tools.get(), built);
    engine.reset();  // the answer is built, or is the tool server's; the store is not needed
    if (reads_on) co_await finish_tool_request(owner, socket, first_read);
    if (response == nullptr) co_return;
    co_await send_and_close(worker, socket, *response);
  } catch (const std::exception&) {
    // Only memory exhaustion gets here: this connection is dropped (the socket closes as the
    // frame unwinds) and the others carry on.
  }
}

asio::awaitable<Status> serve_dashboard(engine::EngineHandle engine, std::uint16_t port,
                                        LoopPool& loops, ConnectionLimits limits,
                                        ToolServerOptions tools) {
  const auto executor = co_await asio::this_coro::executor;
  tcp::acceptor acceptor(executor);
  if (const auto error = open_listener(acceptor, {asio::ip::address_v4::loopback(), port})) {
    co_return Error{message_of(error)};
  }
  // The Host and Origin checks and the start-up line need the port bound, which `-p 0` leaves to
  // the system.
  std::shared_ptr<const ToolPath> tool_path;
  std::string endpoint_line;
  if (tools.endpoint) {
    asio::error_code error;
    const std::uint16_t bound_port = acceptor.local_endpoint(error).port();
    if (error) co_return Error{message_of(error)};
    tool_path = std::make_shared<const ToolPath>(std::move(tools), bound_port);
    endpoint_line = "    - MCP Endpoint: http://127.0.0.1:" + std::to_string(bound_port) +
                    std::string(TOOL_SERVER_PATH);
  }

  console::print_line(
      "[+] Quillon Market Intelligence Web HUD live at http://127.0.0.1:" + std::to_string(port),
      console::Colour::GREEN, true);
  for (const auto line : STARTUP_DETAIL_LINES) console::print_line(line);
  if (tool_path) console::print_line(endpoint_line);

  std::vector<tcp::acceptor> listeners;
  if (const auto error = share_listener(acceptor, loops, listeners)) {
    co_return Error{message_of(error)};
  }
  const auto ending = std::make_shared<Ending>(executor, 1);
  // Held weakly: the workers belong to the tasks on their loops, which may outlive this frame.
  std::vector<std::weak_ptr<Worker>> workers;
  for (auto& listener : listeners) {
    const auto worker = std::make_shared<Worker>(std::move(listener), limits,
                                                 FixedResponses(engine), tool_path, ending);
    workers.push_back(worker);
    // The loop reports its own ending; an exception that escapes it anyway (no memory to report
    // with) ends the server too.
    asio::co_spawn(worker->context, accept_connections(worker, engine),
                   std::bind_front(end_on_failure, worker->ending));
  }
  const auto [channel_error, error] = co_await ending->async_receive(with_error);
  static_cast<void>(channel_error);
  // Each worker's listener is closed on its own loop: its accept loop ends, and the connections
  // in hand finish as usual.
  for (const auto& weak : workers) {
    if (auto worker = weak.lock()) {
      asio::io_context& loop = worker->context;
      asio::post(loop, [worker = std::move(worker)] {
        asio::error_code ignored;
        worker->listener.close(ignored);
      });
    }
  }
  co_return Error{message_of(error)};
}

}  // namespace qmr::ui
