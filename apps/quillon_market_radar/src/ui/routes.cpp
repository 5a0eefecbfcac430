#include "ui/routes.hpp"

#include <cstdint>
#include <optional>

#include "base/json_writer.hpp"
#include "engine/records.hpp"
#include "ui/history_route.hpp"
#include "ui/page.hpp"
#include "ui/products_route.hpp"
#include "version.hpp"

namespace qmr::ui {

namespace {

constexpr std::string_view STATUS_OK = "200 OK";
constexpr std::string_view STATUS_ERROR = "500 ERROR";
constexpr std::string_view STATUS_NOT_FOUND = "404 NOT FOUND";

constexpr std::string_view HTML = "text/html; charset=utf-8";
constexpr std::string_view JSON = "application/json";
constexpr std::string_view PLAIN_TEXT = "text/plain";

// What the store's page may load: its own inline style and script, and requests to this origin
// alone (its /api/ routes); nothing may frame it. The demo's page keeps its bytes and headers.
constexpr std::string_view PAGE_POLICY =
    "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; "
    "script-src 'unsafe-inline'; connect-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'\r\n";

// Every POST whose path begins with this is a reprice, whatever follows it.
constexpr std::string_view REPRICE_PATH = "/api/reprice";

DashboardResponse make_response(std::string_view status, std::string_view content_type,
                                std::string body) {
  return {std::string(status), std::string(content_type), std::move(body)};
}

// Returns whether `path` is `route`, alone or followed by "?" and a query string, which is then put
// in `query`.
inline bool is_route(std::string_view path, std::string_view route,
                     std::optional<std::string_view>& query) {
  if (!path.starts_with(route)) return false;
  if (path.size() == route.size()) return true;
  if (path[route.size()] != '?') return false;
  query = path.substr(route.size() + 1);
  return true;
}

DashboardResponse not_found() { return make_response(STATUS_NOT_FOUND, PLAIN_TEXT, "Not Found"); }

DashboardResponse status_object() {
  const json::Value status = {{"app", "Quillon Market & Retail Intelligence"},
                              {"defects_indexed", std::uint64_t{1}},
                              {"port", std::uint64_t{7577}},
                              {"ram_mb", 11.2},
                              {"status", "ACTIVE_MARKET_SENTINEL"},
                              {"tracked_products", std::uint64_t{2}},
                              {"version", VERSION}};
  return json_response(STATUS_OK, status);
}

DashboardResponse reprice(const engine::EngineHandle& engine) {
  auto dispatch = engine->dispatch_price_alert(REPRICE_WEBHOOK_TARGET);
  if (dispatch.ok()) return json_response(STATUS_OK, dispatch.value());
  return error_response(STATUS_ERROR, dispatch.error().message);
}

}  // namespace

DashboardResponse json_response(std::string_view status, const json::Value& body) {
  return make_response(status, JSON, json::to_compact(body));
}

// Written with the JSON writer, so a reason with a quotation mark still gives valid JSON.
DashboardResponse error_response(std::string_view status, const std::string& reason) {
  return json_response(status, {{"error", reason}});
}

DashboardResponse route_request(std::string_view method, std::string_view path,
                                const engine::EngineHandle& engine, std::string_view page,
                                const engine::HistorySource* history) {
  if (method == "POST" && path.starts_with(REPRICE_PATH)) return reprice(engine);
  if (method != "GET") return not_found();
  if (path == "/") {
    DashboardResponse response = make_response(STATUS_OK, HTML, std::string(page));
    if (page != DASHBOARD_PAGE) response.headers = PAGE_POLICY;
    return response;
  }
  if (path == "/api/status") return status_object();
  std::optional<std::string_view> query;
  if (is_route(path, PRODUCTS_PATH, query)) return products_response(engine, query);
  if (path == "/api/medicines") {
    return make_response(STATUS_OK, JSON,
                         engine::encode_medicines_compact(engine->list_medicines()));
  }
  if (history && is_route(path, ALERTS_PATH, query)) {
    return alerts_response(*history, query.value_or(""));
  }
  if (history && is_route(path, HISTORY_PATH, query)) {
    return history_response(*history, query.value_or(""));
  }
  return not_found();
}

}  // namespace qmr::ui
