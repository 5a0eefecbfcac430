// A product's price history and what follows from it, as pure functions over dated series (no
// store, no clock): the lowest, average and highest over the last 30, 90 and 180 days in India,
// the all-time low, the alerts a pair of series gives once per crossing, and the suggested price
// inside the seller's floor and ceiling. Times are microseconds since 1970 UTC, money is paise.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/json_writer.hpp"

namespace qmr::engine {

/// One observed price.
struct PricePoint {
  std::int64_t at = 0;  // microseconds since 1970-01-01T00:00:00Z
  std::int64_t paise = 0;
  friend bool operator==(const PricePoint&, const PricePoint&) = default;
};

inline constexpr std::int64_t DAY_MICROS = 86'400'000'000;
/// India's offset from UTC (+05:30): the days of windows and per-day views are days in India.
inline constexpr std::int64_t INDIA_OFFSET_MICROS = 19'800'000'000;
/// The windows of a summary, in days in India, today among them.
inline constexpr std::array<int, 3> SUMMARY_WINDOW_DAYS = {30, 90, 180};
/// A window with fewer observations than this gives their count and first date, no statistics.
inline constexpr std::size_t MIN_OBSERVATIONS = 3;

/// Returns the day in India of `at`, counted from 1970-01-01.
[[nodiscard]] std::int64_t india_day(std::int64_t at);
/// Returns the time at which day `day` in India begins (its midnight, 18:30 UTC the day before).
[[nodiscard]] std::int64_t india_midnight(std::int64_t day);
/// Returns the date in India of `at` as "12 Nov 2026".
[[nodiscard]] std::string india_date(std::int64_t at);
/// Returns `paise` as the alerts write money: "₹1149.00".
[[nodiscard]] std::string rupees_text(std::int64_t paise);

/// The lowest, the mean (rounded to the paisa, halves up) and the highest price of a window.
struct WindowStatistics {
  std::int64_t low = 0;
  std::int64_t average = 0;
  std::int64_t high = 0;
  friend bool operator==(const WindowStatistics&, const WindowStatistics&) = default;
};

/// One window of a summary: its edges, what it holds, and a line saying so.
struct WindowSummary {
  int days = 0;
  std::int64_t start = 0;                // midnight in India of its first day
  std::int64_t end = 0;                  // the time the summary is for
  std::size_t count = 0;                 // observations from start to end
  std::optional<std::int64_t> first_at;  // the first of them
  bool covered = false;                  // the series began on the window's first day or before
  std::optional<WindowStatistics> statistics;  // covered, and MIN_OBSERVATIONS or more
  std::string text;  // "last 30 days (11 Nov 2026 to 10 Dec 2026, IST): lowest ..."
  friend bool operator==(const WindowSummary&, const WindowSummary&) = default;
};

/// The summary of one series as of one time.
struct SeriesSummary {
  std::size_t count = 0;  // observations up to the time asked about
  std::optional<PricePoint> latest;
  std::optional<PricePoint> all_time_low;  // the earliest observation at the lowest price
  std::vector<WindowSummary> windows;      // one per SUMMARY_WINDOW_DAYS, in that order
  friend bool operator==(const SeriesSummary&, const SeriesSummary&) = default;
};

/// Returns the summary of `series` (ascending in time) as of `now`. A window the series does not
/// cover, or one with fewer than MIN_OBSERVATIONS, says "N observations since DATE" instead of
/// statistics; observations after `now` are left out.
[[nodiscard]] SeriesSummary summarise_series(std::span<const PricePoint> series, std::int64_t now);

/// Returns the last observation of each day in India of `series` (ascending in time).
[[nodiscard]] std::vector<PricePoint> daily_closing(std::span<const PricePoint> series);

/// What one day in India of a series holds, as a store's daily roll-up keeps it: enough for the
/// summaries and charts, and for passing over a day in which no alert can fire.
struct DaySummary {
  std::int64_t day = 0;  // india_day of its observations
  std::size_t count = 0;
  std::int64_t sum = 0;  // of the prices, paise
  PricePoint low;        // the earliest observation at the day's lowest price
  std::int64_t high = 0;
  std::int64_t first_at = 0;
  PricePoint last;
  friend bool operator==(const DaySummary&, const DaySummary&) = default;
};

/// Returns a summary of each day in India of `series` (ascending in time), in order.
[[nodiscard]] std::vector<DaySummary> summarise_days(std::span<const PricePoint> series);

/// Returns what summarise_series returns as of `now` for the series whose days `days` summarises
/// (ascending, no observation after `now`), without its observations.
[[nodiscard]] SeriesSummary summarise_series(std::span<const DaySummary> days, std::int64_t now);

/// What an alert is about.
enum class AlertKind {
  DROP,          // the competitor went below our price by more than the threshold
  RISE,          // after a drop, the competitor is back above our price
  ALL_TIME_LOW,  // the competitor's lowest price yet, by more than the band
};

/// When alerts fire.
struct AlertSettings {
  double threshold_percent = 5;   // a drop is a competitor this much below our price, or more
  double band_points = 1;         // a drop fires again only after the gap came back by this much
  int competitor_stale_days = 7;  // a competitor unseen this long is gone
};

/// One alert: when, and the two prices then; `our_paise` is none before our first observation.
struct PriceAlert {
  AlertKind kind = AlertKind::DROP;
  std::int64_t at = 0;
  std::int64_t competitor_paise = 0;
  std::optional<std::int64_t> our_paise;
  double gap_percent = 0;  // (competitor - ours) / ours x 100; 0 without our price
  friend bool operator==(const PriceAlert&, const PriceAlert&) = default;
};

/// Returns the alerts of our series and the competitor's (each ascending in time), in time order.
/// A drop fires when the competitor goes more than the threshold below our price, and again only
/// after the gap came back above the threshold by the band, or the competitor was gone; a rise
/// fires once when, after a drop, the competitor is back above our price; an all-time low fires
/// when the competitor's price is below the low of its last such alert (at first, its first
/// price) by more than the band, in percent of that low.
[[nodiscard]] std::vector<PriceAlert> find_alerts(std::span<const PricePoint> ours,
                                                  std::span<const PricePoint> competitor,
                                                  const AlertSettings& settings = {});

/// The alerts of a pair of series, fed in time order: find_alerts in steps, which may pass over a
/// whole day from its summaries when nothing can fire or re-arm in it.
class AlertMachine {
 public:
  explicit AlertMachine(const AlertSettings& settings) : settings_(settings) {}
  /// Runs over `ours` and `competitor` (each ascending, later than all fed or passed before),
  /// appending the alerts they give to `alerts`.
  void feed(std::span<const PricePoint> ours, std::span<const PricePoint> competitor,
            std::vector<PriceAlert>& alerts);
  /// Passes over a day of which `ours` and `competitor` (either null for a day without
  /// observations of that series) are the summaries, when no alert can fire and no crossing
  /// re-arm in it; returns false, changing nothing, when the day must be fed.
  [[nodiscard]] bool pass_day(const DaySummary* ours, const DaySummary* competitor);

 private:
  AlertSettings settings_;
  std::optional<std::int64_t> our_price_;
  std::optional<PricePoint> theirs_;
  std::optional<std::int64_t> alerted_low_;  // the low the all-time-low alert compares with
  bool drop_armed_ = true;                   // a drop may fire
  bool rise_armed_ = false;  // a drop fired and the competitor has not been above us since
};

/// Returns find_alerts of the series that `ours` and `competitor` summarise by day (each
/// ascending), feeding only the days in which something may happen with their observations,
/// which `read_day(day)` returns (ours, then the competitor's, each ascending).
[[nodiscard]] std::vector<PriceAlert> find_alerts_by_day(
    std::span<const DaySummary> ours, std::span<const DaySummary> competitor,
    const std::function<std::pair<std::vector<PricePoint>, std::vector<PricePoint>>(std::int64_t)>&
        read_day,
    const AlertSettings& settings = {});

/// The alerts of one product on one platform.
struct ProductAlerts {
  std::string sku_asin;
  std::string title;
  std::string platform;
  std::vector<PriceAlert> alerts;  // in time order
};

/// Returns the text of `alert` for the product `title` with identifier `sku_asin`: the eight lines
/// of the price-drop alert, with its headline and action for the alert's kind.
[[nodiscard]] std::string format_alert_text(const PriceAlert& alert, std::string_view title,
                                            std::string_view sku_asin);

/// Returns `alert` as the answers write it: its kind ("DROP", "RISE", "ALL_TIME_LOW"), its time
/// as RFC 3339 UTC, both prices in rupees and the gap in percent (ours and the gap null without
/// our price).
[[nodiscard]] json::Value alert_json(const PriceAlert& alert);

/// Returns the dispatch record of `alert` addressed to `webhook_target`, in the form of the
/// price-drop alert's. Sends nothing.
[[nodiscard]] json::Value alert_dispatch_record(const PriceAlert& alert, std::string_view title,
                                                std::string_view sku_asin,
                                                std::string_view webhook_target);

/// The seller's lowest and highest allowed price of a product; none where not set.
struct PriceLimits {
  std::optional<std::int64_t> floor;
  std::optional<std::int64_t> ceiling;
  friend bool operator==(const PriceLimits&, const PriceLimits&) = default;
};

/// How a price is suggested.
struct SuggestionSettings {
  std::int64_t step_paise = 100;  // beat the competitor by this much
  int competitor_stale_days = 7;  // a competitor unseen this long is gone
};

/// A suggested price, none when there is nothing to base one on, always with its reason.
struct SuggestedPrice {
  std::optional<std::int64_t> paise;
  std::string reason;
};

/// Returns the price that beats the competitor's latest by the step, within the floor and the
/// ceiling (the floor wins when the two cross): at the floor when the competitor is gone or the
/// step would go below it, toward the ceiling as the competitor rises. Without a competitor or a
/// floor, our price is kept.
[[nodiscard]] SuggestedPrice suggest_price(std::optional<std::int64_t> our_paise,
                                           std::optional<PricePoint> competitor,
                                           const PriceLimits& limits, std::int64_t now,
                                           const SuggestionSettings& settings = {});

/// One product's history on one platform, as a store gives it.
struct ProductHistory {
  std::string sku_asin;
  std::string title;
  std::string platform;
  std::vector<PricePoint> ours;        // ascending in time
  std::vector<PricePoint> competitor;  // ascending in time
  PriceLimits limits;
};

/// How a history is judged: its alerts and its suggested price.
struct HistorySettings {
  AlertSettings alerts;
  SuggestionSettings suggestion;
};

/// How many of a series' last days a description lists.
inline constexpr std::size_t DESCRIBED_DAYS = 5;
/// The most observations an answer lists one by one: beyond, it lists the last of each day.
inline constexpr std::size_t MAX_LISTED_POINTS = 1000;
/// How many of the last observations an answer lists apart from the others.
inline constexpr std::size_t RECENT_POINTS = 10;

/// One series of a history as an answer shows it as of one time.
struct SeriesView {
  SeriesSummary summary;
  std::vector<DaySummary> days;    // each day with observations up to then
  std::size_t listed_count = 0;    // observations in the days listed, up to then
  bool daily_points = false;       // more than MAX_LISTED_POINTS: `points` has each day's last
  std::vector<PricePoint> points;  // those observations, or the last of each of their days
  std::vector<PricePoint> recent;  // the last RECENT_POINTS observations of them
  friend bool operator==(const SeriesView&, const SeriesView&) = default;
};

/// A product's history on one platform as an answer shows it as of `now`: each series' summary,
/// its days and the points of the last `days` days in India, the alerts and the limits.
struct HistoryView {
  std::string sku_asin;
  std::string title;
  std::string platform;
  PriceLimits limits;
  std::int64_t now = 0;
  int days = 1;                  // the days listed, 1 or more
  std::int64_t points_from = 0;  // midnight in India of the first of them
  SeriesView ours;
  SeriesView competitor;
  std::vector<PriceAlert> alerts;
  friend bool operator==(const HistoryView&, const HistoryView&) = default;
};

/// Returns the view of `history` as of `now` listing the last `days` days (below 1 taken as 1),
/// from its observations; a store's roll-up gives the same view without them.
[[nodiscard]] HistoryView view_history(const ProductHistory& history, std::int64_t now, int days,
                                       const AlertSettings& settings = {});

/// Returns `history` as of `now` in lines of text: each series' count, latest, all-time low and
/// windows, its last DESCRIBED_DAYS days, the floor and ceiling, the alerts and the last of them,
/// and the suggested price with its reason.
[[nodiscard]] std::string describe_history(const ProductHistory& history, std::int64_t now,
                                           const HistorySettings& settings = {});
/// Returns describe_history of the history `view` shows.
[[nodiscard]] std::string describe_history(const HistoryView& view,
                                           const SuggestionSettings& settings = {});

/// Returns `history` as of `now` as a JSON value: its identity, floor and ceiling (rupees, null
/// where not set), each series with its points of the last `days` days in India and its summary
/// (every window with its edges in UTC, its count, its statistics or null, its text), the alerts
/// with their dispatch records addressed to `webhook_target`, and the suggested price with its
/// reason. Times are RFC 3339 UTC texts, money rupees; `days` below 1 is taken as 1.
[[nodiscard]] json::Value history_json(const ProductHistory& history, std::int64_t now, int days,
                                       std::string_view webhook_target,
                                       const HistorySettings& settings = {});
/// Returns history_json of the history `view` shows. Each series carries "daily_points": true
/// when its days listed hold more than MAX_LISTED_POINTS observations, whose points are then the
/// last of each day.
[[nodiscard]] json::Value history_json(const HistoryView& view, std::string_view webhook_target,
                                       const SuggestionSettings& settings = {});

/// The size of a text chart: columns of days, rows of prices.
inline constexpr std::size_t CHART_COLUMNS = 60;
inline constexpr std::size_t CHART_ROWS = 8;

/// Returns a chart made of text of the last `days` days in India up to `now`: a column per day
/// (several days a column when there are more than CHART_COLUMNS), each series' last price in it
/// marked "o" (ours), "x" (the competitor's) or "*" (both in one place), the highest and lowest
/// price at the left, the first and last dates below, and a key. "no observations to chart\n"
/// when neither series has one in those days; `days` below 1 is taken as 1.
[[nodiscard]] std::string text_chart(std::span<const PricePoint> ours,
                                     std::span<const PricePoint> competitor, std::int64_t now,
                                     int days);
/// Returns text_chart of the series whose days `ours` and `competitor` summarise (up to `now`).
[[nodiscard]] std::string text_chart(std::span<const DaySummary> ours,
                                     std::span<const DaySummary> competitor, std::int64_t now,
                                     int days);

}  // namespace qmr::engine
