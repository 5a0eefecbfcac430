// GET "/api/history" and GET "/api/alerts": a product's price history, and the alerts of the last
// days over every product, read from the seller's store for each request. Without a store the
// paths are no routes (404), as they were before.
#pragma once

#include <string_view>

#include "engine/history_source.hpp"
#include "ui/routes.hpp"

namespace qmr::ui {

inline constexpr std::string_view HISTORY_PATH = "/api/history";
inline constexpr std::string_view ALERTS_PATH = "/api/alerts";

/// Returns the response to GET "/api/history?`query_string`": sku_asin (required, exactly as
/// stored), platform and days (1 to engine::MAX_HISTORY_DAYS, default 90). A JSON array of one
/// history_json object per platform; "400 BAD REQUEST" for a bad query string, "404 NOT FOUND"
/// for a product the store knows nothing of, "500 ERROR" when the store cannot be read, each
/// with a JSON error object.
[[nodiscard]] DashboardResponse history_response(const engine::HistorySource& history,
                                                 std::string_view query_string);

/// Returns the response to GET "/api/alerts?`query_string`": a page of the alerts of the last
/// engine::ALERT_WINDOW_DAYS days over every product and platform in the store, newest first, each
/// with its product, figures, text and dispatch record, under the window's edges and the threshold.
/// "offset" and "limit" (default DEFAULT_PAGE_LIMIT, at most MAX_PAGE_LIMIT) choose the page as
/// for GET "/api/products", with "X-Total-Count" and a "Link" to the next page; "400 BAD
/// REQUEST" for a bad query string, "500 ERROR" when the store cannot be read, each with a JSON
/// error object.
[[nodiscard]] DashboardResponse alerts_response(const engine::HistorySource& history,
                                                std::string_view query_string = {});

}  // namespace qmr::ui
