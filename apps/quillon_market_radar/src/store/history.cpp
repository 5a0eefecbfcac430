#include "store/history.hpp"

#include <array>
#include <limits>

namespace qmr::store {

namespace {

// The platforms the identifier has anything on, with its title and limits there. Listings are
// joined rather than searched: their key begins with the platform.
constexpr std::string_view PLATFORMS_SQL =
    "SELECT known.platform, coalesce(listings.title, ''), price_limits.floor_paise, "
    "price_limits.ceiling_paise FROM ("
    "SELECT platform FROM our_prices WHERE sku_asin = ?1 "
    "UNION SELECT platform FROM competitor_prices WHERE sku_asin = ?1 "
    "UNION SELECT platform FROM price_limits WHERE sku_asin = ?1) AS known "
    "LEFT JOIN listings ON listings.platform = known.platform AND listings.sku_asin = ?1 "
    "LEFT JOIN price_limits ON price_limits.sku_asin = ?1 "
    "AND price_limits.platform = known.platform "
    "WHERE ?2 IS NULL OR known.platform = ?2 ORDER BY known.platform";

// One series of one platform from a time on, in the order of its table's key.
constexpr std::array<std::string_view, 2> SERIES_SQL = {
    "SELECT observed_at, price_paise FROM our_prices "
    "WHERE sku_asin = ?1 AND platform = ?2 AND observed_at >= ?3 ORDER BY observed_at",
    "SELECT observed_at, price_paise FROM competitor_prices "
    "WHERE sku_asin = ?1 AND platform = ?2 AND observed_at >= ?3 ORDER BY observed_at",
};

Status read_series(Statement& statement, const StoredHistory& history, std::int64_t since,
                   std::vector<ObservedPrice>& series) {
  statement.reset();
  statement.bind(1, history.sku_asin).bind(2, history.platform).bind(3, since);
  for (;;) {
    auto row = statement.step();
    if (!row.ok()) return row.error();
    if (!row.value()) return Done{};
    series.push_back({statement.integer(0), statement.integer(1)});
  }
}

}  // namespace

Result<std::vector<StoredHistory>> read_price_history(Database& database,
                                                      const HistoryQuery& query) {
  auto platforms = database.prepare(PLATFORMS_SQL);
  if (!platforms.ok()) return platforms.error();
  std::array<std::optional<Statement>, 2> series;
  for (std::size_t i = 0; i < series.size(); ++i) {
    auto statement = database.prepare(SERIES_SQL[i]);
    if (!statement.ok()) return statement.error();
    series[i].emplace(std::move(statement.value()));
  }
  Statement& known = platforms.value();
  known.bind(1, query.sku_asin);
  if (query.platform) {
    known.bind(2, *query.platform);
  } else {
    known.bind(2, std::optional<std::int64_t>());
  }
  std::vector<StoredHistory> histories;
  for (;;) {
    auto row = known.step();
    if (!row.ok()) return row.error();
    if (!row.value()) break;
    StoredHistory& history = histories.emplace_back();
    history.sku_asin = query.sku_asin;
    history.platform = known.text(0);
    history.title = known.text(1);
    history.floor_paise = known.optional_integer(2);
    history.ceiling_paise = known.optional_integer(3);
  }
  const std::int64_t since = query.since.value_or(std::numeric_limits<std::int64_t>::min());
  for (StoredHistory& history : histories) {
    if (auto done = read_series(*series[0], history, since, history.ours); !done.ok()) {
      return done.error();
    }
    if (auto done = read_series(*series[1], history, since, history.competitor); !done.ok()) {
      return done.error();
    }
  }
  return histories;
}

Result<std::vector<std::string>> read_history_identifiers(Database& database) {
  auto statement = database.prepare(
      "SELECT sku_asin FROM our_prices UNION SELECT sku_asin FROM competitor_prices ORDER BY 1");
  if (!statement.ok()) return statement.error();
  std::vector<std::string> identifiers;
  for (;;) {
    auto row = statement.value().step();
    if (!row.ok()) return row.error();
    if (!row.value()) return identifiers;
    identifiers.emplace_back(statement.value().text(0));
  }
}

}  // namespace qmr::store
