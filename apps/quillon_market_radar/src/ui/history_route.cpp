#include "ui/history_route.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/json_writer.hpp"
#include "engine/records.hpp"
#include "ui/products_route.hpp"

namespace qmr::ui {

DashboardResponse history_response(const engine::HistorySource& history,
                                   std::string_view query_string) {
  std::string sku_asin;
  std::optional<std::string> platform;
  int days = engine::DEFAULT_HISTORY_DAYS;
  constexpr std::string_view NAMES[] = {"sku_asin", "platform", "days"};
  auto refused = read_parameters(
      query_string, NAMES, "the history",
      [&](std::size_t index, const std::string& value) -> std::optional<std::string> {
        if (index == 0) {
          sku_asin = value;
        } else if (index == 1) {
          platform = value;
        } else {
          const bool digits =
              !value.empty() && value.size() <= 4 &&
              std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
          days = digits ? std::stoi(value) : 0;
          if (days < 1 || days > engine::MAX_HISTORY_DAYS) {
            return "days must be a whole number from 1 to " +
                   std::to_string(engine::MAX_HISTORY_DAYS);
          }
        }
        return std::nullopt;
      },
      /*decode_names=*/true);
  if (!refused && sku_asin.empty()) refused = "sku_asin is required: a seller SKU or ASIN";
  if (refused) return error_response("400 BAD REQUEST", *refused);
  auto read = history.read(sku_asin, platform, history.now(), days);
  if (!read.ok()) return error_response("500 ERROR", read.error().message);
  if (read.value().empty()) {
    return error_response("404 NOT FOUND", "no price history of '" + sku_asin + "'" +
                                               (platform ? " on " + *platform : "") +
                                               " in the store");
  }
  json::Value histories = json::Value::array();
  for (const engine::HistoryView& product : read.value()) {
    histories.push_back(
        engine::history_json(product, REPRICE_WEBHOOK_TARGET, history.settings.suggestion));
  }
  return json_response("200 OK", histories);
}

DashboardResponse alerts_response(const engine::HistorySource& history,
                                  std::string_view query_string) {
  PageRequest page;
  constexpr std::string_view NAMES[] = {"offset", "limit"};
  if (auto refused = read_parameters(query_string, NAMES, "the alert list",
                                     [&](std::size_t index, const std::string& value) {
                                       return read_page_parameter(NAMES[index], value, page);
                                     })) {
    return error_response("400 BAD REQUEST", *refused);
  }
  const std::int64_t now = history.now();
  const std::int64_t since =
      engine::india_midnight(engine::india_day(now) - engine::ALERT_WINDOW_DAYS + 1);
  auto read = history.read_alerts(now, since);
  if (!read.ok()) return error_response("500 ERROR", read.error().message);
  struct Found {
    const engine::ProductAlerts* product;
    engine::PriceAlert alert;
  };
  std::vector<Found> found;
  for (const engine::ProductAlerts& product : read.value()) {
    for (const engine::PriceAlert& alert : product.alerts) found.push_back({&product, alert});
  }
  // Newest first; one moment's alerts in the store's order of products.
  std::stable_sort(found.begin(), found.end(),
                   [](const Found& a, const Found& b) { return a.alert.at > b.alert.at; });
  const auto rest = std::span(found).subspan(std::min(page.offset, found.size()));
  const auto shown = rest.first(std::min(page.limit, rest.size()));
  json::Value alerts = json::Value::array();
  for (const auto& [product, alert] : shown) {
    json::Value& value = alerts.emplace_back(engine::alert_json(alert));
    value["sku_asin"] = product->sku_asin;
    value["title"] = product->title;
    value["platform"] = product->platform;
    value["dispatch"] = engine::alert_dispatch_record(alert, product->title, product->sku_asin,
                                                      REPRICE_WEBHOOK_TARGET);
  }
  DashboardResponse response = json_response(
      "200 OK",
      {{"as_of_utc", engine::format_rfc3339_utc_micros(now)},
       {"since_utc", engine::format_rfc3339_utc_micros(since)},
       {"window", "last " + std::to_string(engine::ALERT_WINDOW_DAYS) + " days (" +
                      engine::india_date(since) + " to " + engine::india_date(now) + ", IST)"},
       {"alert_percent", history.settings.alerts.threshold_percent},
       {"alerts", std::move(alerts)}});
  response.headers = page_headers(ALERTS_PATH, found.size(), page, shown.size(), "");
  return response;
}

}  // namespace qmr::ui
