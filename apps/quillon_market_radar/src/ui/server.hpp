// The dashboard's loopback HTTP server: binds the port, prints the start-up lines and answers one
// request per connection through the pure request handling of ui/request.hpp.
#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "base/loop_pool.hpp"
#include "base/result.hpp"
#include "engine/market_engine.hpp"
#include "ui/request.hpp"
#include "ui/tool_path.hpp"

namespace qmr::ui {

/// Time and size bounds of one connection.
struct ConnectionLimits {
  /// A connection that has sent nothing for this long is closed without a response.
  std::chrono::milliseconds idle_timeout{std::chrono::seconds(60)};
  /// After the response, what the client still sends is read and dropped for at most this long
  /// and this many bytes, so closing the socket does not reset the response away.
  std::chrono::milliseconds drain_time{std::chrono::seconds(1)};
  std::size_t drain_bytes = 64 * 1024;
  /// The most bytes of tool-server requests whose bodies a loop reads at once; a request that
  /// would go past it is answered 503 before its body is read.
  std::size_t tool_request_budget = 16 * 1024 * 1024;
};

/// Returns how many event loops the dashboard accepts on, for a runtime sized to it on a machine
/// with `processors` logical processors: half of them on Linux, one on Windows; at least one.
[[nodiscard]] std::size_t dashboard_loops(std::size_t processors);

/// Binds 127.0.0.1:`port`, prints the start-up lines and serves the dashboard until the listener
/// fails: on every loop of `loops` on Linux, on the loop this runs on on Windows. With an
/// endpoint in `tools`, the tool server answers on TOOL_SERVER_PATH too, and one more start-up
/// line names it with the port bound. Returns the bind error before anything is printed when the
/// port cannot be bound. The loops must keep running while connections remain.
[[nodiscard]] asio::awaitable<Status> serve_dashboard(engine::EngineHandle engine,
                                                      std::uint16_t port, LoopPool& loops,
                                                      ConnectionLimits limits = {},
                                                      ToolServerOptions tools = {});

}  // namespace qmr::ui
