// How a loop of the dashboard takes its connections from its listener, once per build: CMake
// picks accept_asio.cpp, asio's own accept with every connection served in the event loop, or
// with QMR_LINUX_FAST_PATH accept_linux.cpp, Linux's own calls, with which nearly every
// connection is answered and closed without ever entering the event loop.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/error_code.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <cstddef>
#include <memory>
#include <string_view>

#include "engine/market_engine.hpp"
#include "ui/request.hpp"
#include "ui/server.hpp"

namespace qmr::ui {

/// What the server holds on one of the loops it accepts on (server.cpp).
struct Worker;
using WorkerHandle = std::shared_ptr<Worker>;

// The server's own steps for a connection in the event loop (server.cpp), to which a loop's
// Intake hands each connection that it does not finish itself.

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

/// What one loop keeps to take its connections. Made for that loop and used there only.
class Intake {
 public:
  /// Takes connections from `listener`, a listener of `loop`'s own, and answers them from `fixed`
  /// and `tools` (null when the tool server is off) within `limits`, or hands them to the
  /// server's steps. All must outlive the intake.
  Intake(asio::io_context& loop, asio::ip::tcp::acceptor& listener, const ConnectionLimits& limits,
         const FixedResponses& fixed, const ToolPath* tools);
  Intake(const Intake&) = delete;
  Intake& operator=(const Intake&) = delete;
  ~Intake();

  /// Sets what this way of taking connections asks of a listening socket that `open_listener`
  /// has opened; a failure is ignored.
  static void prepare(asio::ip::tcp::acceptor& listener);

  /// Waits for connections and takes those that have arrived, each into a task of its own on the
  /// loop, which holds `owner`. Returns the failure of an accept, if any.
  [[nodiscard]] asio::awaitable<asio::error_code> accept_next(const WorkerHandle& owner,
                                                              const engine::EngineHandle& engine);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qmr::ui
