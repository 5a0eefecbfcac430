// The dashboard's loopback HTTP server on asio coroutines: one listener, accepted from on a few of
// the runtime's event loops. One coroutine per connection, which only moves bytes, in the steps of
// connection.hpp; how a loop takes its connections is picked at build time (accept.hpp), and what
// differs between systems about the listening socket is in listener.hpp.
//
// Why a loop per thread rather than one shared io_context: with a connection per request, most
// of the cost is the kernel's, and what the server adds is what it does around each connection.
// On one shared io_context every connection was handed between threads (locks, futex wake-ups).
// Here a connection lives and dies on the loop, and so the thread, that accepted it.
#include "ui/asio.hpp"
// ui/asio.hpp before everything else: see there.
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "base/console.hpp"
#include "ui/accept.hpp"
#include "ui/listener.hpp"
#include "ui/server.hpp"

namespace qmr::ui {

using asio::ip::tcp;

namespace {

// How long an accept loop pauses after a failure that a later accept can overcome (no free
// descriptor, no memory): long enough not to spin, short enough that clients barely notice.
constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(50);

constexpr std::string_view STARTUP_DETAIL_LINES[] = {
    "    - Monopolies Slain: Keepa ($299/mo) + Helium10 + Fakespot + Prisync",
    "    - Active Sentinel: Price Tracker, Review Defect Miner & Jan Aushadhi Arbitrage",
    "    - Memory Footprint: ~11.2 MB RAM (100% On-Device, Air-Gapped)",
};

// Takes connections until the listener fails, then ends the server with that failure, or with the
// exception the loop ends with. A failure a later accept can overcome (no free descriptor, no
// memory for the connection at hand, which is dropped) pauses the loop briefly. What is neither a
// system error nor exhausted memory is a broken invariant and stops the process.
asio::awaitable<void> accept_connections(WorkerHandle worker) {
  asio::error_code error;
  try {
    asio::steady_timer pause(worker->context);
    for (;;) {
      try {
        error = co_await accept_next(worker);
      } catch (const std::bad_alloc&) {
        error = std::make_error_code(std::errc::not_enough_memory);
      }
      if (!error || is_dropped_connection(error)) continue;
      if (ends_listener(error)) break;
      pause.expires_after(ACCEPT_RETRY_DELAY);
      static_cast<void>(co_await pause.async_wait(with_error));
    }
  } catch (const std::bad_alloc&) {
    error = std::make_error_code(std::errc::not_enough_memory);
  } catch (const std::system_error& failure) {
    error = failure.code();
  } catch (const std::exception& failure) {
    fatal(std::string("internal error: ") + failure.what());
  }
  if (const auto channel = worker->ending.lock()) {
    static_cast<void>(channel->try_send(asio::error_code(), error));
  }
}

}  // namespace

asio::awaitable<Status> serve_dashboard(engine::Snapshots snapshots, std::uint16_t port,
                                        LoopPool& loops, ConnectionLimits limits,
                                        ToolServerOptions tools, std::string_view page,
                                        engine::HistorySourceHandle history) {
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
  // Each loop makes the fixed responses of a new snapshot for itself, at its first request.
  const auto answer_from = [page, history](const engine::EngineHandle& engine) {
    return std::make_shared<const Answering>(
        Answering{engine, FixedResponses(engine, page), history});
  };
  for (auto& listener : listeners) {
    const auto worker = std::make_shared<Worker>(
        LoopState{limits, engine::PerSnapshot<Answering>(snapshots, answer_from), tool_path},
        std::move(listener), ending);
    workers.push_back(worker);
    // The loop reports its own ending; an exception that escapes it anyway (no memory to report
    // with) stops the process.
    asio::co_spawn(worker->context, accept_connections(worker), [](std::exception_ptr failure) {
      if (failure) fatal_for(failure);
    });
  }
  const auto [channel_error, error] = co_await ending->async_receive(with_error);
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
