// The local web dashboard: the routes of its JSON API and page, and the loopback HTTP server that
// answers one request per connection.
#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/market_engine.hpp"
#include "engine/result.hpp"

namespace qmr::ui {

/// One answer of the dashboard, before it is framed on the wire.
struct DashboardResponse {
  std::string status;        // placed after "HTTP/1.1 ", e.g. "200 OK"
  std::string content_type;  // e.g. "application/json"
  std::string body;          // UTF-8, sent as is
};

/// Returns the response for a request's method and path; never fails.
[[nodiscard]] DashboardResponse route_request(std::string_view method, std::string_view path,
                                              const engine::EngineHandle& engine);

/// Binds 127.0.0.1:`port`, prints the start-up lines and serves the dashboard until the listener
/// fails. Returns the bind error before anything is printed when the port cannot be bound.
[[nodiscard]] asio::awaitable<Status> serve_dashboard(engine::EngineHandle engine,
                                                      std::uint16_t port);

}  // namespace qmr::ui
