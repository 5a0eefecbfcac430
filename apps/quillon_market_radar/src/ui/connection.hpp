// A connection of the dashboard's server in the event loop, step by step, as asio's own servers
// go: read the request within the idle time, answer it, write, half-close, drain for a bounded
// time, close. How a loop takes its connections (accept.hpp) hands each connection it does not
// finish itself to these steps.
#pragma once

#include "ui/asio.hpp"
// ui/asio.hpp before everything else: see there.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string_view>

#include "engine/snapshots.hpp"
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
  /// After a refusal of a body too large (413), what the client declared is read and dropped as
  /// well, up to this many bytes more, so that a client that sends its body before it reads gets
  /// to read the refusal.
  std::size_t refused_body_bytes = 16 * 1024 * 1024;
  /// The most bytes of tool-server requests whose bodies a loop reads at once; a request that
  /// would go past it is answered 503 before its body is read.
  std::size_t tool_request_budget = 16 * 1024 * 1024;
};

/// What the connections of one event loop share. Used from that loop only, and held by each of
/// its connections, so it lives while any of them runs.
struct LoopState {
  ConnectionLimits limits;
  // Each request takes the current one once, when it is answered, and holds it until it is sent.
  engine::PerSnapshot<Answering> answering;
  const std::shared_ptr<const ToolPath> tools;  // null when the tool server is off
  // Bytes of the tool-server requests this loop is reading the bodies of.
  ToolBudget tool_budget{limits.tool_request_budget};
};

/// Reads the request within the idle time, after the `read_before` bytes already read of it (as
/// many as a first read takes at most), answers it from the current snapshot, half-closes, drains
/// and closes. `loop` is kept alive meanwhile.
asio::awaitable<void> serve_connection(std::shared_ptr<LoopState> loop,
                                       asio::ip::tcp::socket socket,
                                       std::string_view read_before = {});
/// Writes `rest`, the end of a response, half-closes and drains within `limits`, and the
/// `unread_body` bytes of a refused body still to come within limits.refused_body_bytes.
asio::awaitable<void> send_and_close(const ConnectionLimits& limits, asio::ip::tcp::socket& socket,
                                     std::string_view rest, std::size_t unread_body = 0);
/// Reads and drops what the client still sends until it closes, `deadline` passes or
/// `drain_bytes` have come in all, counting the `drained` bytes already dropped.
asio::awaitable<void> drain(std::size_t drain_bytes, asio::ip::tcp::socket& socket,
                            std::size_t drained, asio::steady_timer::time_point deadline);
/// Reads the rest of `request`, a tool-server request that has read `first_read`, its first
/// bytes, within the idle time of `limits`, answers it, half-closes, drains and closes.
asio::awaitable<void> finish_tool_request(const ConnectionLimits& limits,
                                          asio::ip::tcp::socket& socket,
                                          std::string_view first_read, ToolRequest& request);

}  // namespace qmr::ui
