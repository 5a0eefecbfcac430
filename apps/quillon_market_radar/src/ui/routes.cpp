#include "ui/routes.hpp"

#include <algorithm>
#include <cstdint>

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

DashboardResponse not_found() { return make_response(STATUS_NOT_FOUND, PLAIN_TEXT, "Not Found"); }

DashboardResponse status_object() {
  const json::Value status = {{"app", "Quillon Market & Retail Intelligence"},
                              {"defects_indexed", std::uint64_t{1}},
                              {"port", std::uint64_t{7577}},
                              {"ram_mb", 11.2},
                              {"status", "ACTIVE_MARKET_SENTINEL"},
                              {"tracked_products", std::uint64_t{2}},
                              {"version", VERSION}};
  return make_response(STATUS_OK, JSON, json::to_compact(status));
}

DashboardResponse reprice(const engine::EngineHandle& engine) {
  auto dispatch = engine->dispatch_price_alert(REPRICE_WEBHOOK_TARGET);
  if (dispatch.ok()) return make_response(STATUS_OK, JSON, json::to_compact(dispatch.value()));
  // Written with the JSON writer, so a message with a quotation mark still gives valid JSON.
  return make_response(STATUS_ERROR, JSON, json::to_compact({{"error", dispatch.error().message}}));
}

}  // namespace

DashboardResponse route_request(std::string_view method, std::string_view path,
                                const engine::EngineHandle& engine, std::string_view page,
                                const engine::HistorySource* history) {
  if (method == "GET") {
    if (path == "/") {
      DashboardResponse response = make_response(STATUS_OK, HTML, std::string(page));
      if (page != DASHBOARD_PAGE) response.headers = PAGE_POLICY;
      return response;
    }
    if (path == "/api/status") return status_object();
    if (path == PRODUCTS_PATH) return products_response(engine, std::nullopt);
    if (path.starts_with(PRODUCTS_PATH) && path.size() > PRODUCTS_PATH.size() &&
        path[PRODUCTS_PATH.size()] == '?') {
      return products_response(engine, path.substr(PRODUCTS_PATH.size() + 1));
    }
    if (path == "/api/medicines") {
      return make_response(STATUS_OK, JSON,
                           engine::encode_medicines_compact(engine->list_medicines()));
    }
    if (history && path.starts_with(ALERTS_PATH) &&
        (path.size() == ALERTS_PATH.size() || path[ALERTS_PATH.size()] == '?')) {
      return alerts_response(*history, path.substr(std::min(path.size(), ALERTS_PATH.size() + 1)));
    }
    if (history && path.starts_with(HISTORY_PATH) &&
        (path.size() == HISTORY_PATH.size() || path[HISTORY_PATH.size()] == '?')) {
      return history_response(*history,
                              path.substr(std::min(path.size(), HISTORY_PATH.size() + 1)));
    }
    return not_found();
  }
  if (method == "POST" && path.starts_with(REPRICE_PATH)) return reprice(engine);
  return not_found();
}

}  // namespace qmr::ui
