// What the dashboard's server holds on each loop it accepts on, and how that loop takes its
// connections, once per build: CMake picks accept_asio.cpp, asio's own accept with every
// connection served in the event loop, or with QMR_LINUX_FAST_PATH accept_linux.cpp, Linux's own
// calls, with which nearly every connection is answered and closed without entering the loop.
#pragma once

#include "ui/asio.hpp"
// ui/asio.hpp before everything else: see there.
#include <cstddef>
#include <memory>
#include <string_view>

#include "engine/market_engine.hpp"
#include "ui/request.hpp"
#include "ui/server.hpp"

namespace qmr::ui {

/// The first failure that ends the server, handed from a worker's loop to the task that awaits
/// the server. Safe to use from any thread; it holds one error and drops later ones. (The first
/// error_code of the signature is the channel's own.)
using Ending = asio::experimental::concurrent_channel<void(asio::error_code, asio::error_code)>;

struct Worker;
using WorkerHandle = std::shared_ptr<Worker>;

/// What a loop keeps to take its connections beyond its Worker (none with asio's accept).
struct Intake;
/// Sets on `worker`'s listener what this way of taking connections asks of a listening socket (a
/// failure is ignored) and returns the intake of its loop.
[[nodiscard]] std::shared_ptr<Intake> make_intake(Worker& worker);
/// Waits for connections on `owner`'s listener and takes those that have arrived, each into a
/// task of its own on the loop, which holds `owner`. Returns the failure of an accept, if any.
[[nodiscard]] asio::awaitable<asio::error_code> accept_next(const WorkerHandle& owner,
                                                            const engine::EngineHandle& engine);

/// What the server holds on one of the loops it accepts on: the loop is its listener's. Used from
/// that loop only, and owned by the tasks there: the accept loop and each connection hold it, so
/// it lives while any of them runs, and goes with its loop at the latest.
struct Worker {
  asio::ip::tcp::acceptor listener;  // this loop's own
  ConnectionLimits limits;
  const FixedResponses fixed;
  const std::shared_ptr<const ToolPath> tools;  // null when the tool server is off
  std::weak_ptr<Ending> ending;  // weak: once the server has ended, nobody waits for it
  // Bytes of the tool-server requests this loop is reading the bodies of, at most
  // limits.tool_request_budget.
  std::size_t tool_bytes_held = 0;
  asio::io_context& context = static_cast<asio::io_context&>(
      asio::query(listener.get_executor(), asio::execution::context));
  const std::shared_ptr<Intake> intake = make_intake(*this);
};

// The server's own steps for a connection in the event loop (server.cpp), to which a loop's
// intake hands each connection that it does not finish itself.

/// Reads the request within the idle time, answers it, half-closes, drains and closes. `owner`
/// keeps the worker alive meanwhile.
asio::awaitable<void> serve_connection(WorkerHandle owner, asio::ip::tcp::socket socket,
                                       engine::EngineHandle engine);
/// Writes `rest`, the end of an answer, half-closes and drains. The caller keeps `worker` alive.
asio::awaitable<void> send_and_close(const Worker& worker, asio::ip::tcp::socket& socket,
                                     std::string_view rest);
/// Reads and drops what the client still sends until it closes, `deadline` passes or
/// `drain_bytes` have come in all, counting the `drained` bytes already dropped.
asio::awaitable<void> drain(std::size_t drain_bytes, asio::ip::tcp::socket& socket,
                            std::size_t drained, asio::steady_timer::time_point deadline);
/// Reads the rest of a tool-server request whose first bytes are `first_read`, answers it,
/// half-closes, drains and closes. `owner` keeps the worker alive meanwhile.
asio::awaitable<void> finish_tool_request(WorkerHandle owner, asio::ip::tcp::socket& socket,
                                          std::string_view first_read);

}  // namespace qmr::ui
