// A product's price history as the store keeps it: per platform, our own prices and the
// competitor's as dated observations, with the seller's floor and ceiling. Read through the
// primary keys of the observation tables, with bound values only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.hpp"
#include "engine/history_source.hpp"
#include "engine/price_history.hpp"
#include "store/sqlite.hpp"

namespace qmr::store {

/// One observation: microseconds since 1970 UTC, and paise.
struct ObservedPrice {
  std::int64_t at = 0;
  std::int64_t paise = 0;
};

/// A product's history on one platform.
struct StoredHistory {
  std::string sku_asin;
  std::string platform;
  std::string title;                          // from its listing; empty without one
  std::optional<std::int64_t> floor_paise;    // the seller's lowest allowed price
  std::optional<std::int64_t> ceiling_paise;  // the highest
  std::vector<ObservedPrice> ours;            // ascending in time
  std::vector<ObservedPrice> competitor;      // ascending in time
};

/// What history is asked for: one identifier (exactly as stored), on one platform or on every one
/// it has, and from a time on or all of it.
struct HistoryQuery {
  std::string sku_asin;
  std::optional<std::string> platform;
  std::optional<std::int64_t> since;  // microseconds since 1970 UTC
};

/// Returns the histories of `query`, one per platform with any observation, listing or limit of
/// the identifier, platforms in byte order; none when the store knows nothing of it.
[[nodiscard]] Result<std::vector<StoredHistory>> read_price_history(Database& database,
                                                                    const HistoryQuery& query);

/// Returns the histories of `query` (its `since` aside) as engine::view_history shows them as of
/// `now` with the last `days` days listed, read through the daily roll-up: a day's observations
/// are read only for today up to `now`, for the days listed, and for a day in which an alert may
/// fire. None when the store knows nothing of the identifier.
[[nodiscard]] Result<std::vector<engine::HistoryView>> read_history_views(
    Database& database, const HistoryQuery& query, std::int64_t now, int days,
    const engine::AlertSettings& settings);

/// Returns the alerts from `since` to `now` of every product and platform with an observation,
/// judged with `settings` over all of each one's history, products in byte order, one with none
/// left out; read product by product through the daily roll-up on one set of statements.
[[nodiscard]] Result<std::vector<engine::ProductAlerts>> read_all_alerts(
    Database& database, std::int64_t now, std::int64_t since,
    const engine::AlertSettings& settings);

/// Returns read_all_alerts' answer for each of `products` (an identifier and a platform) alone.
[[nodiscard]] Result<std::vector<engine::ProductAlerts>> read_product_alerts(
    Database& database, const std::vector<engine::ProductOnPlatform>& products, std::int64_t now,
    std::int64_t since, const engine::AlertSettings& settings);

/// Returns the identifiers with any observed price, ours or a competitor's, in byte order.
[[nodiscard]] Result<std::vector<std::string>> read_history_identifiers(Database& database);

}  // namespace qmr::store
