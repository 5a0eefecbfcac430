#include "store/history.hpp"

#include <algorithm>
#include <array>
#include <limits>

namespace qmr::store {

namespace {

// The platforms the identifier has anything on, with its title and limits there: those of its
// observations are read from their days, a row a day rather than one per observation. Listings
// are joined rather than searched: their key begins with the platform.
constexpr std::string_view PLATFORMS_SQL =
    "SELECT known.platform, coalesce(listings.title, ''), price_limits.floor_paise, "
    "price_limits.ceiling_paise FROM ("
    "SELECT platform FROM daily_prices WHERE sku_asin = ?1 "
    "UNION SELECT platform FROM price_limits WHERE sku_asin = ?1) AS known "
    "LEFT JOIN listings ON listings.platform = known.platform AND listings.sku_asin = ?1 "
    "LEFT JOIN price_limits ON price_limits.sku_asin = ?1 "
    "AND price_limits.platform = known.platform "
    "WHERE ?2 IS NULL OR known.platform = ?2 ORDER BY known.platform";

// One series of one platform from a time to a time, in the order of its table's key.
constexpr std::array<std::string_view, 2> SERIES_SQL = {
    "SELECT observed_at, price_paise FROM our_prices WHERE sku_asin = ?1 AND platform = ?2 "
    "AND observed_at >= ?3 AND observed_at <= ?4 ORDER BY observed_at",
    "SELECT observed_at, price_paise FROM competitor_prices WHERE sku_asin = ?1 AND platform = ?2 "
    "AND observed_at >= ?3 AND observed_at <= ?4 ORDER BY observed_at",
};

// The last observations of one series in a time range, the latest first.
constexpr std::array<std::string_view, 2> LAST_SQL = {
    "SELECT observed_at, price_paise FROM our_prices WHERE sku_asin = ?1 AND platform = ?2 "
    "AND observed_at >= ?3 AND observed_at <= ?4 ORDER BY observed_at DESC LIMIT ?5",
    "SELECT observed_at, price_paise FROM competitor_prices WHERE sku_asin = ?1 AND platform = ?2 "
    "AND observed_at >= ?3 AND observed_at <= ?4 ORDER BY observed_at DESC LIMIT ?5",
};

// The days of one series (0 ours, 1 the competitor's) from the daily roll-up, in order.
constexpr std::string_view DAYS_SQL =
    "SELECT day, observations, sum_paise, low_paise, low_at, high_paise, first_at, last_at, "
    "last_paise FROM daily_prices WHERE sku_asin = ?1 AND platform = ?2 AND series = ?3 "
    "ORDER BY day";

constexpr std::int64_t LATEST = std::numeric_limits<std::int64_t>::max();

// Appends the rows of `statement`, bound from its third parameter on to `from`, `to` and any
// `more`, to `series`.
template <typename Point>
Status read_points(Statement& statement, std::string_view sku_asin, std::string_view platform,
                   std::int64_t from, std::int64_t to, std::vector<Point>& series,
                   std::optional<std::int64_t> limit = std::nullopt) {
  statement.reset();
  statement.bind(1, sku_asin).bind(2, platform).bind(3, from).bind(4, to);
  if (limit) statement.bind(5, *limit);
  for (;;) {
    auto row = statement.step();
    if (!row.ok()) return row.error();
    if (!row.value()) return Done{};
    series.push_back({statement.integer(0), statement.integer(1)});
  }
}

// The statements a history is read with.
struct HistoryStatements {
  Statement platforms;
  std::array<std::optional<Statement>, 2> series;
  std::array<std::optional<Statement>, 2> last;
  std::optional<Statement> days;
};

Result<HistoryStatements> prepare_history(Database& database, bool views) {
  auto platforms = database.prepare(PLATFORMS_SQL);
  if (!platforms.ok()) return platforms.error();
  HistoryStatements statements{std::move(platforms.value()), {}, {}, {}};
  for (std::size_t i = 0; i < SERIES_SQL.size(); ++i) {
    auto statement = database.prepare(SERIES_SQL[i]);
    if (!statement.ok()) return statement.error();
    statements.series[i].emplace(std::move(statement.value()));
    if (!views) continue;
    auto last = database.prepare(LAST_SQL[i]);
    if (!last.ok()) return last.error();
    statements.last[i].emplace(std::move(last.value()));
  }
  if (views) {
    auto days = database.prepare(DAYS_SQL);
    if (!days.ok()) return days.error();
    statements.days.emplace(std::move(days.value()));
  }
  return statements;
}

// Returns the platforms `query` names with the identifier's title and limits on each.
Result<std::vector<StoredHistory>> read_platforms(Statement& known, const HistoryQuery& query) {
  known.reset();
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
    if (!row.value()) return histories;
    StoredHistory& history = histories.emplace_back();
    history.sku_asin = query.sku_asin;
    history.platform = known.text(0);
    history.title = known.text(1);
    history.floor_paise = known.optional_integer(2);
    history.ceiling_paise = known.optional_integer(3);
  }
}

// Returns the days of series `series` up to `now`: the roll-up's, and a day that goes on after
// `now` made from its observations up to then.
Result<std::vector<engine::DaySummary>> read_days(HistoryStatements& statements,
                                                  const StoredHistory& history, std::size_t series,
                                                  std::int64_t now) {
  Statement& statement = *statements.days;
  statement.reset();
  statement.bind(1, history.sku_asin)
      .bind(2, history.platform)
      .bind(3, static_cast<std::int64_t>(series));
  std::vector<engine::DaySummary> days;
  for (;;) {
    auto row = statement.step();
    if (!row.ok()) return row.error();
    if (!row.value()) return days;
    const engine::DaySummary day{statement.integer(0),
                                 static_cast<std::size_t>(statement.integer(1)),
                                 statement.integer(2),
                                 {statement.integer(4), statement.integer(3)},
                                 statement.integer(5),
                                 statement.integer(6),
                                 {statement.integer(7), statement.integer(8)}};
    if (day.last.at <= now) {
      days.push_back(day);
      continue;
    }
    if (day.first_at <= now) {
      std::vector<engine::PricePoint> points;
      if (auto read = read_points(*statements.series[series], history.sku_asin, history.platform,
                                  day.first_at, now, points);
          !read.ok()) {
        return read.error();
      }
      days.push_back(engine::summarise_days(points).front());
    }
    return days;
  }
}

// Returns the view of one series as of `now` listing from `points_from` on.
Result<engine::SeriesView> read_series_view(HistoryStatements& statements,
                                            const StoredHistory& history, std::size_t series,
                                            std::int64_t now, std::int64_t points_from) {
  engine::SeriesView view;
  auto days = read_days(statements, history, series, now);
  if (!days.ok()) return days.error();
  view.days = std::move(days.value());
  view.summary = engine::summarise_series(view.days, now);
  const std::int64_t first_listed = engine::india_day(points_from);
  for (const engine::DaySummary& day : view.days) {
    if (day.day >= first_listed) view.listed_count += day.count;
  }
  view.daily_points = view.listed_count > engine::MAX_LISTED_POINTS;
  if (view.daily_points) {
    for (const engine::DaySummary& day : view.days) {
      if (day.day >= first_listed) view.points.push_back(day.last);
    }
  } else if (auto read = read_points(*statements.series[series], history.sku_asin, history.platform,
                                     points_from, now, view.points);
             !read.ok()) {
    return read.error();
  }
  if (auto read =
          read_points(*statements.last[series], history.sku_asin, history.platform, points_from,
                      now, view.recent, static_cast<std::int64_t>(engine::RECENT_POINTS));
      !read.ok()) {
    return read.error();
  }
  std::reverse(view.recent.begin(), view.recent.end());
  return view;
}

// Returns the alerts of `history` up to `now` from its days, a day in which one may fire read
// from its observations.
Result<std::vector<engine::PriceAlert>> read_alerts(HistoryStatements& statements,
                                                    const StoredHistory& history,
                                                    std::span<const engine::DaySummary> ours,
                                                    std::span<const engine::DaySummary> competitor,
                                                    std::int64_t now,
                                                    const engine::AlertSettings& settings) {
  std::optional<Error> failed;
  const auto read_day = [&](std::int64_t day) {
    std::pair<std::vector<engine::PricePoint>, std::vector<engine::PricePoint>> points;
    const std::int64_t from = engine::india_midnight(day);
    const std::int64_t to = std::min(engine::india_midnight(day + 1) - 1, now);
    for (std::size_t i = 0; i < 2 && !failed; ++i) {
      if (auto read = read_points(*statements.series[i], history.sku_asin, history.platform, from,
                                  to, i == 0 ? points.first : points.second);
          !read.ok()) {
        failed = read.error();
      }
    }
    return points;
  };
  std::vector<engine::PriceAlert> alerts =
      engine::find_alerts_by_day(ours, competitor, read_day, settings);
  if (failed) return *failed;
  return alerts;
}

}  // namespace

Result<std::vector<StoredHistory>> read_price_history(Database& database,
                                                      const HistoryQuery& query) {
  auto statements = prepare_history(database, false);
  if (!statements.ok()) return statements.error();
  auto histories = read_platforms(statements.value().platforms, query);
  if (!histories.ok()) return histories.error();
  const std::int64_t since = query.since.value_or(std::numeric_limits<std::int64_t>::min());
  for (StoredHistory& history : histories.value()) {
    for (std::size_t i = 0; i < 2; ++i) {
      if (auto done = read_points(*statements.value().series[i], history.sku_asin, history.platform,
                                  since, LATEST, i == 0 ? history.ours : history.competitor);
          !done.ok()) {
        return done.error();
      }
    }
  }
  return histories;
}

Result<std::vector<engine::HistoryView>> read_history_views(Database& database,
                                                            const HistoryQuery& query,
                                                            std::int64_t now, int days,
                                                            const engine::AlertSettings& settings) {
  auto prepared = prepare_history(database, true);
  if (!prepared.ok()) return prepared.error();
  HistoryStatements& statements = prepared.value();
  auto histories = read_platforms(statements.platforms, query);
  if (!histories.ok()) return histories.error();
  std::vector<engine::HistoryView> views;
  for (const StoredHistory& history : histories.value()) {
    engine::HistoryView& view = views.emplace_back();
    view.sku_asin = history.sku_asin;
    view.title = history.title;
    view.platform = history.platform;
    view.limits = {history.floor_paise, history.ceiling_paise};
    view.now = now;
    view.days = std::max(days, 1);
    view.points_from = engine::india_midnight(engine::india_day(now) - view.days + 1);
    for (std::size_t i = 0; i < 2; ++i) {
      auto series = read_series_view(statements, history, i, now, view.points_from);
      if (!series.ok()) return series.error();
      (i == 0 ? view.ours : view.competitor) = std::move(series.value());
    }
    auto alerts =
        read_alerts(statements, history, view.ours.days, view.competitor.days, now, settings);
    if (!alerts.ok()) return alerts.error();
    view.alerts = std::move(alerts.value());
  }
  return views;
}

namespace {

// Appends to `found` the alerts from `since` to `now` of the histories of `query`, judged with
// `settings` over all of each one's history; a history with none is left out.
Status append_alerts(HistoryStatements& statements, const HistoryQuery& query, std::int64_t now,
                     std::int64_t since, const engine::AlertSettings& settings,
                     std::vector<engine::ProductAlerts>& found) {
  auto histories = read_platforms(statements.platforms, query);
  if (!histories.ok()) return histories.error();
  for (const StoredHistory& history : histories.value()) {
    std::array<std::vector<engine::DaySummary>, 2> days;
    for (std::size_t i = 0; i < 2; ++i) {
      auto read = read_days(statements, history, i, now);
      if (!read.ok()) return read.error();
      days[i] = std::move(read.value());
    }
    auto alerts = read_alerts(statements, history, days[0], days[1], now, settings);
    if (!alerts.ok()) return alerts.error();
    std::erase_if(alerts.value(),
                  [since](const engine::PriceAlert& alert) { return alert.at < since; });
    if (alerts.value().empty()) continue;
    found.push_back({history.sku_asin, history.title, history.platform, std::move(alerts.value())});
  }
  return Done{};
}

}  // namespace

Result<std::vector<engine::ProductAlerts>> read_all_alerts(Database& database, std::int64_t now,
                                                           std::int64_t since,
                                                           const engine::AlertSettings& settings) {
  auto identifiers = read_history_identifiers(database);
  if (!identifiers.ok()) return identifiers.error();
  auto prepared = prepare_history(database, true);
  if (!prepared.ok()) return prepared.error();
  std::vector<engine::ProductAlerts> found;
  for (const std::string& sku_asin : identifiers.value()) {
    if (auto added =
            append_alerts(prepared.value(), {sku_asin, {}, {}}, now, since, settings, found);
        !added.ok()) {
      return added.error();
    }
  }
  return found;
}

Result<std::vector<engine::ProductAlerts>> read_product_alerts(
    Database& database, const std::vector<engine::ProductOnPlatform>& products, std::int64_t now,
    std::int64_t since, const engine::AlertSettings& settings) {
  auto prepared = prepare_history(database, true);
  if (!prepared.ok()) return prepared.error();
  std::vector<engine::ProductAlerts> found;
  for (const auto& [sku_asin, platform] : products) {
    if (auto added =
            append_alerts(prepared.value(), {sku_asin, platform, {}}, now, since, settings, found);
        !added.ok()) {
      return added.error();
    }
  }
  return found;
}

Result<std::vector<std::string>> read_history_identifiers(Database& database) {
  // From one identifier of the daily roll-up to the next through its key: a step per identifier.
  auto statement = database.prepare(
      "WITH RECURSIVE next (sku_asin) AS (SELECT min(sku_asin) FROM daily_prices UNION ALL "
      "SELECT (SELECT min(sku_asin) FROM daily_prices WHERE sku_asin > next.sku_asin) FROM next "
      "WHERE next.sku_asin IS NOT NULL) SELECT sku_asin FROM next WHERE sku_asin IS NOT NULL");
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
