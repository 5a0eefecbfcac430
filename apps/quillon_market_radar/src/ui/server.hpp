// The dashboard's loopback HTTP server: binds the port, prints the start-up lines and answers one
// request per connection through the pure request handling of ui/request.hpp.
#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <string_view>

#include "base/loop_pool.hpp"
#include "base/result.hpp"
#include "engine/snapshots.hpp"
#include "ui/connection.hpp"
#include "ui/page.hpp"
#include "ui/tool_path.hpp"

namespace qmr::ui {

/// Binds 127.0.0.1:`port`, prints the start-up lines and serves the dashboard, each request from
/// the current snapshot of `snapshots`, until the listener fails: on every loop of `loops` on
/// Linux, on the loop this runs on on Windows. With an endpoint in `tools`, the tool server answers
/// on TOOL_SERVER_PATH too, and one more start-up line names it with the port bound. GET "/"
/// answers `page`. Returns the bind error before anything is printed when the port cannot be bound.
/// The loops must keep running while connections remain. With `history` (a store given), the
/// history routes answer from it.
[[nodiscard]] asio::awaitable<Status> serve_dashboard(
    engine::Snapshots snapshots, std::uint16_t port, LoopPool& loops, ConnectionLimits limits = {},
    ToolServerOptions tools = {}, std::string_view page = DASHBOARD_PAGE,
    engine::HistorySourceHandle history = nullptr);

}  // namespace qmr::ui
