// The dashboard's routes: a request's method and path to one response built from the page, a fixed
// status object or the engine. Pure: no sockets.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/history_source.hpp"
#include "engine/market_engine.hpp"
#include "ui/page.hpp"

namespace qmr::ui {

/// The webhook every reprice alert of the dashboard names; nothing is sent to it.
inline constexpr std::string_view REPRICE_WEBHOOK_TARGET = "http://localhost:8080/reprice";

/// One response of the dashboard, before it is framed on the wire.
struct DashboardResponse {
  std::string status;        // placed after "HTTP/1.1 ", e.g. "200 OK"
  std::string content_type;  // e.g. "application/json"
  std::string body;          // UTF-8, sent as is
  std::string headers{};     // more header lines, each ending in CRLF; most responses have none
};

/// Returns a response of `status` with `body` as compact JSON, or with the JSON object {"error":
/// `reason`}.
[[nodiscard]] DashboardResponse json_response(std::string_view status, const json::Value& body);
[[nodiscard]] DashboardResponse error_response(std::string_view status, const std::string& reason);

/// The rows of a page of GET "/api/products" when the request names no limit, and the most a
/// request may name.
inline constexpr std::size_t DEFAULT_PAGE_LIMIT = 100;
inline constexpr std::size_t MAX_PAGE_LIMIT = 1000;
/// The largest offset a request may name: more than any catalogue holds.
inline constexpr std::size_t MAX_PAGE_OFFSET = 1'000'000'000;

/// The method and path tokens of a request line.
struct RequestLine {
  std::string method;
  std::string path;
};

/// Returns the response for a request's method and path, `page` for GET "/"; never fails. An
/// engine error becomes a "500 ERROR" response, a bad query string of the product list
/// (products_route.hpp) a "400 BAD REQUEST" one and an unknown method or path the "404 NOT FOUND"
/// one. With `history` (a store given), GET "/api/history" and "/api/alerts" answer from it
/// (history_route.hpp); without, they are unknown paths.
[[nodiscard]] DashboardResponse route_request(std::string_view method, std::string_view path,
                                              const engine::EngineHandle& engine,
                                              std::string_view page = DASHBOARD_PAGE,
                                              const engine::HistorySource* history = nullptr);

}  // namespace qmr::ui
