// Where the surfaces (the assistant's tool, the API, the console) read a product's price history
// from: the seller's store when one is given, read afresh for each answer; none for the demo,
// which keeps no history.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/result.hpp"
#include "engine/price_history.hpp"

namespace qmr::engine {

/// The days of history an answer lists points for unless asked otherwise, and the most it takes.
inline constexpr int DEFAULT_HISTORY_DAYS = 90;
inline constexpr int MAX_HISTORY_DAYS = 3650;
/// How many days back alerts are listed, and a product's latest alert is shown (days in India,
/// today among them).
inline constexpr int ALERT_WINDOW_DAYS = 30;

/// A product on one platform, exactly as stored: its identifier, then the platform.
using ProductOnPlatform = std::pair<std::string, std::string>;

/// A store's price history, read on demand.
struct HistorySource {
  /// Returns the histories of `sku_asin` (exactly as stored), on `platform` or on every platform
  /// it has, platforms in byte order, as of `now` with the last `days` days listed and the alerts
  /// judged with `settings.alerts`; none when the store knows nothing of it; the store's error.
  std::function<Result<std::vector<HistoryView>>(const std::string& sku_asin,
                                                 const std::optional<std::string>& platform,
                                                 std::int64_t now, int days)>
      read;
  /// Returns the alerts from `since` to `now` of every product with an observed price, on each
  /// of its platforms (those without any left out), read at one moment; the store's error.
  std::function<Result<std::vector<ProductAlerts>>(std::int64_t now, std::int64_t since)>
      read_alerts;
  /// Returns the same of each of `products` that has any, read at one moment, in no particular
  /// order; the store's error.
  std::function<Result<std::vector<ProductAlerts>>(const std::vector<ProductOnPlatform>& products,
                                                   std::int64_t now, std::int64_t since)>
      read_alerts_of;
  /// The time answers are for, microseconds since 1970 UTC.
  std::function<std::int64_t()> now;
  HistorySettings settings;
};

/// A history source shared by the surfaces; null without a store.
using HistorySourceHandle = std::shared_ptr<const HistorySource>;

}  // namespace qmr::engine
