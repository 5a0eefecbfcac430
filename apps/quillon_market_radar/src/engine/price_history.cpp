#include "engine/price_history.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "engine/market_engine.hpp"
#include "engine/records.hpp"

namespace qmr::engine {

namespace {

constexpr std::array<std::string_view, 12> MONTHS = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Each kind's name in the answers, and its headline and action in the eight lines of the
// price-drop alert, in the order of AlertKind.
struct AlertForm {
  std::string_view name;
  std::string_view headline;
  std::string_view action;
};
constexpr std::array<AlertForm, 3> ALERT_FORMS = {{
    {"DROP", "COMPETITOR PRICE DROP ALERT", "Auto-reprice recommended."},
    {"RISE", "COMPETITOR PRICE RISE ALERT", "Reprice toward the ceiling recommended."},
    {"ALL_TIME_LOW", "COMPETITOR ALL-TIME LOW ALERT", "Auto-reprice recommended."},
}};

const AlertForm& form_of(AlertKind kind) { return ALERT_FORMS[static_cast<std::size_t>(kind)]; }

// The dispatch record's fixed figure, as the price-drop alert's: nothing is timed.
constexpr std::uint64_t DISPATCH_LATENCY_MICROS = 19;

std::int64_t floor_divide(std::int64_t value, std::int64_t divisor) {
  const std::int64_t quotient = value / divisor;
  return quotient * divisor > value ? quotient - 1 : quotient;
}

// Returns the part of `series` up to `now`.
std::span<const PricePoint> until(std::span<const PricePoint> series, std::int64_t now) {
  const auto end =
      std::upper_bound(series.begin(), series.end(), now,
                       [](std::int64_t at, const PricePoint& point) { return at < point.at; });
  return series.first(static_cast<std::size_t>(end - series.begin()));
}

// Returns the window of `days` as of `now` of the series whose days `series` summarises.
WindowSummary summarise_window(std::span<const DaySummary> series, int days, std::int64_t now) {
  WindowSummary window;
  window.days = days;
  const std::int64_t first_day = india_day(now) - days + 1;
  window.start = india_midnight(first_day);
  window.end = now;
  window.covered = !series.empty() && series.front().day <= first_day;
  const auto begin =
      std::lower_bound(series.begin(), series.end(), first_day,
                       [](const DaySummary& day, std::int64_t wanted) { return day.day < wanted; });
  std::int64_t sum = 0;
  std::int64_t low = INT64_MAX;
  std::int64_t high = INT64_MIN;
  if (begin != series.end()) window.first_at = begin->first_at;
  for (auto day = begin; day != series.end(); ++day) {
    window.count += day->count;
    sum += day->sum;
    low = std::min(low, day->low.paise);
    high = std::max(high, day->high);
  }
  window.text = "last " + std::to_string(window.days) + " days (" + india_date(window.start) +
                " to " + india_date(window.end) + ", IST): ";
  if (window.count == 0) {
    window.text += "no observations";
  } else if (!window.covered || window.count < MIN_OBSERVATIONS) {
    window.text += window.count == 1 ? "1 observation, on "
                                     : std::to_string(window.count) + " observations since ";
    window.text += india_date(*window.first_at);
  } else {
    const auto count = static_cast<std::int64_t>(window.count);
    window.statistics = WindowStatistics{low, (sum + count / 2) / count, high};
    window.text += "lowest " + rupees_text(low) + ", average " +
                   rupees_text(window.statistics->average) + ", highest " + rupees_text(high) +
                   " over " + std::to_string(window.count) + " observations";
  }
  return window;
}

SeriesView view_series(std::span<const PricePoint> series, std::int64_t now,
                       std::int64_t points_from) {
  SeriesView view;
  series = until(series, now);
  view.days = summarise_days(series);
  view.summary = summarise_series(view.days, now);
  const std::span<const PricePoint> listed = series.subspan(until(series, points_from - 1).size());
  view.listed_count = listed.size();
  view.daily_points = listed.size() > MAX_LISTED_POINTS;
  view.points = view.daily_points ? daily_closing(listed)
                                  : std::vector<PricePoint>(listed.begin(), listed.end());
  const std::span<const PricePoint> recent = listed.last(std::min(listed.size(), RECENT_POINTS));
  view.recent.assign(recent.begin(), recent.end());
  return view;
}

SuggestedPrice suggest_price(const HistoryView& view, const SuggestionSettings& settings) {
  const std::optional<PricePoint>& ours = view.ours.summary.latest;
  return suggest_price(ours ? std::optional(ours->paise) : std::nullopt,
                       view.competitor.summary.latest, view.limits, view.now, settings);
}

json::Value rupees_value(std::optional<std::int64_t> paise) {
  if (!paise) return nullptr;
  return static_cast<double>(*paise) / 100.0;
}

json::Value utc_value(std::int64_t at) { return format_rfc3339_utc_micros(at); }

json::Value point_value(const std::optional<PricePoint>& point) {
  if (!point) return nullptr;
  return json::Value{{"observed_at_utc", utc_value(point->at)},
                     {"price_inr", rupees_value(point->paise)}};
}

json::Value series_value(const SeriesView& series) {
  const SeriesSummary& summary = series.summary;
  json::Value points = json::Value::array();
  for (const PricePoint& point : series.points) points.push_back(point_value(point));
  json::Value windows = json::Value::array();
  for (const WindowSummary& window : summary.windows) {
    const auto statistic = [&](std::int64_t WindowStatistics::*field) {
      return window.statistics ? rupees_value((*window.statistics).*field) : json::Value(nullptr);
    };
    windows.push_back(json::Value{
        {"days", window.days},
        {"start_utc", utc_value(window.start)},
        {"end_utc", utc_value(window.end)},
        {"observations", static_cast<std::uint64_t>(window.count)},
        {"first_observed_at_utc", window.first_at ? utc_value(*window.first_at) : nullptr},
        {"covered", window.covered},
        {"lowest_inr", statistic(&WindowStatistics::low)},
        {"average_inr", statistic(&WindowStatistics::average)},
        {"highest_inr", statistic(&WindowStatistics::high)},
        {"text", window.text}});
  }
  return json::Value{{"observations", static_cast<std::uint64_t>(summary.count)},
                     {"latest", point_value(summary.latest)},
                     {"all_time_low", point_value(summary.all_time_low)},
                     {"windows", std::move(windows)},
                     {"points", std::move(points)},
                     {"daily_points", series.daily_points}};
}

}  // namespace

std::int64_t india_day(std::int64_t at) {
  return floor_divide(at + INDIA_OFFSET_MICROS, DAY_MICROS);
}

std::int64_t india_midnight(std::int64_t day) { return day * DAY_MICROS - INDIA_OFFSET_MICROS; }

std::string india_date(std::int64_t at) {
  using namespace std::chrono;
  const year_month_day date{sys_days{days{india_day(at)}}};
  return std::to_string(static_cast<unsigned>(date.day())) + " " +
         std::string(MONTHS[static_cast<unsigned>(date.month()) - 1]) + " " +
         std::to_string(static_cast<int>(date.year()));
}

std::string rupees_text(std::int64_t paise) {
  const std::int64_t cents = paise % 100;
  return "\u20B9" + std::to_string(paise / 100) + (cents < 10 ? ".0" : ".") + std::to_string(cents);
}

SeriesSummary summarise_series(std::span<const PricePoint> series, std::int64_t now) {
  return summarise_series(summarise_days(until(series, now)), now);
}

std::vector<PricePoint> daily_closing(std::span<const PricePoint> series) {
  std::vector<PricePoint> days;
  for (const DaySummary& day : summarise_days(series)) days.push_back(day.last);
  return days;
}

std::vector<DaySummary> summarise_days(std::span<const PricePoint> series) {
  std::vector<DaySummary> days;
  for (const PricePoint& point : series) {
    const std::int64_t day = india_day(point.at);
    if (days.empty() || days.back().day != day) {
      days.push_back({day, 0, 0, point, point.paise, point.at, point});
    }
    DaySummary& summary = days.back();
    ++summary.count;
    summary.sum += point.paise;
    if (point.paise < summary.low.paise) summary.low = point;
    summary.high = std::max(summary.high, point.paise);
    summary.last = point;
  }
  return days;
}

SeriesSummary summarise_series(std::span<const DaySummary> days, std::int64_t now) {
  SeriesSummary summary;
  for (const DaySummary& day : days) {
    summary.count += day.count;
    if (!summary.all_time_low || day.low.paise < summary.all_time_low->paise) {
      summary.all_time_low = day.low;
    }
  }
  if (!days.empty()) summary.latest = days.back().last;
  for (const int window_days : SUMMARY_WINDOW_DAYS) {
    summary.windows.push_back(summarise_window(days, window_days, now));
  }
  return summary;
}

void AlertMachine::feed(std::span<const PricePoint> ours, std::span<const PricePoint> competitor,
                        std::vector<PriceAlert>& alerts) {
  const std::int64_t stale = settings_.competitor_stale_days * DAY_MICROS;
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < ours.size() || j < competitor.size()) {
    const std::int64_t at = std::min(i < ours.size() ? ours[i].at : INT64_MAX,
                                     j < competitor.size() ? competitor[j].at : INT64_MAX);
    for (; i < ours.size() && ours[i].at == at; ++i) our_price_ = ours[i].paise;
    // A competitor gone for a while is a new one when it returns: both crossings re-armed.
    if (theirs_ && at - theirs_->at > stale) {
      drop_armed_ = true;
      rise_armed_ = false;
    }
    bool observed = false;
    for (; j < competitor.size() && competitor[j].at == at; ++j) {
      theirs_ = competitor[j];
      observed = true;
    }
    if (!theirs_ || at - theirs_->at > stale) continue;
    PriceAlert alert{AlertKind::DROP, at, theirs_->paise, our_price_, 0};
    if (our_price_) {
      alert.gap_percent = static_cast<double>(theirs_->paise - *our_price_) * 100.0 /
                          static_cast<double>(*our_price_);
    }
    if (observed) {
      if (!alerted_low_) {
        alerted_low_ = theirs_->paise;
      } else if (static_cast<double>(theirs_->paise) <
                 static_cast<double>(*alerted_low_) * (1 - settings_.band_points / 100)) {
        alerted_low_ = theirs_->paise;
        alerts.push_back(alert);
        alerts.back().kind = AlertKind::ALL_TIME_LOW;
      }
    }
    if (!our_price_) continue;
    if (drop_armed_ && alert.gap_percent < -settings_.threshold_percent) {
      drop_armed_ = false;
      rise_armed_ = true;
      alerts.push_back(alert);
    } else if (!drop_armed_ &&
               alert.gap_percent >= -settings_.threshold_percent + settings_.band_points) {
      drop_armed_ = true;
    }
    if (rise_armed_ && alert.gap_percent > 0) {
      rise_armed_ = false;
      alerts.push_back(alert);
      alerts.back().kind = AlertKind::RISE;
    }
  }
}

bool AlertMachine::pass_day(const DaySummary* ours, const DaySummary* competitor) {
  const std::int64_t stale = settings_.competitor_stale_days * DAY_MICROS;
  // A competitor may go stale between two observations of one day: such days are fed.
  if (stale < DAY_MICROS) return false;
  bool gone = false;  // the competitor is gone at every moment of the day
  if (competitor) {
    // Its first price sets the low; one gone before the day returns in it; a low may fire.
    if (!theirs_ || competitor->first_at - theirs_->at > stale) return false;
    if (static_cast<double>(competitor->low.paise) <
        static_cast<double>(*alerted_low_) * (1 - settings_.band_points / 100)) {
      return false;
    }
  } else if (theirs_ && ours) {
    gone = ours->first_at - theirs_->at > stale;
    // Gone during the day: some moments of it see the competitor, some re-arm.
    if (!gone && ours->last.at - theirs_->at > stale) return false;
  }
  const bool compared = !gone && (theirs_ || competitor) && (our_price_ || ours);
  if (compared) {
    // Every gap of the day lies between the lowest competitor price over the highest of ours and
    // the highest over the lowest; the margin covers the rounding of the gaps computed one by one.
    const auto low_of = [](std::optional<std::int64_t> before, const DaySummary* day) {
      return std::min(before.value_or(INT64_MAX), day ? day->low.paise : INT64_MAX);
    };
    const auto high_of = [](std::optional<std::int64_t> before, const DaySummary* day) {
      return std::max(before.value_or(0), day ? day->high : 0);
    };
    const std::optional<std::int64_t> their_price =
        theirs_ ? std::optional(theirs_->paise) : std::nullopt;
    const auto gap = [](std::int64_t competitor_paise, std::int64_t our_paise) {
      return static_cast<long double>(competitor_paise - our_paise) * 100 /
             static_cast<long double>(our_paise);
    };
    const long double lowest = gap(low_of(their_price, competitor), high_of(our_price_, ours));
    const long double highest = gap(high_of(their_price, competitor), low_of(our_price_, ours));
    const auto margin = [](long double value) { return 1e-9L * (1 + std::abs(value)); };
    const auto threshold = -static_cast<long double>(settings_.threshold_percent);
    const auto band = static_cast<long double>(settings_.band_points);
    if (drop_armed_ && lowest - margin(lowest) < threshold) return false;
    if (!drop_armed_ && highest + margin(highest) >= threshold + band) {
      return false;
    }
    if (rise_armed_ && highest + margin(highest) > 0) return false;
  }
  if (ours) our_price_ = ours->last.paise;
  if (competitor) theirs_ = competitor->last;
  if (gone) {
    drop_armed_ = true;
    rise_armed_ = false;
  }
  return true;
}

std::vector<PriceAlert> find_alerts(std::span<const PricePoint> ours,
                                    std::span<const PricePoint> competitor,
                                    const AlertSettings& settings) {
  std::vector<PriceAlert> alerts;
  AlertMachine(settings).feed(ours, competitor, alerts);
  return alerts;
}

std::vector<PriceAlert> find_alerts_by_day(
    std::span<const DaySummary> ours, std::span<const DaySummary> competitor,
    const std::function<std::pair<std::vector<PricePoint>, std::vector<PricePoint>>(std::int64_t)>&
        read_day,
    const AlertSettings& settings) {
  AlertMachine machine(settings);
  std::vector<PriceAlert> alerts;
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < ours.size() || j < competitor.size()) {
    const std::int64_t day = std::min(i < ours.size() ? ours[i].day : INT64_MAX,
                                      j < competitor.size() ? competitor[j].day : INT64_MAX);
    const DaySummary* our_day = i < ours.size() && ours[i].day == day ? &ours[i++] : nullptr;
    const DaySummary* their_day =
        j < competitor.size() && competitor[j].day == day ? &competitor[j++] : nullptr;
    if (machine.pass_day(our_day, their_day)) continue;
    const auto [our_points, their_points] = read_day(day);
    machine.feed(our_points, their_points, alerts);
  }
  return alerts;
}

std::string format_alert_text(const PriceAlert& alert, std::string_view title,
                              std::string_view sku_asin) {
  const AlertForm& form = form_of(alert.kind);
  return "\U0001F6D2 *" + std::string(form.headline) + "*\n\n*Product:* " + std::string(title) +
         "\n*ASIN:* " + std::string(sku_asin) + "\n*Competitor Price:* " +
         rupees_text(alert.competitor_paise) + "\n*Our Current Price:* " +
         (alert.our_paise ? rupees_text(*alert.our_paise) : "unknown") + "\n*Difference:* " +
         (alert.our_paise ? format_fixed2(alert.gap_percent) + "%" : "unknown") + "\n*Action:* " +
         std::string(form.action);
}

json::Value alert_dispatch_record(const PriceAlert& alert, std::string_view title,
                                  std::string_view sku_asin, std::string_view webhook_target) {
  return json::Value{{"status", "PRICE_ALERT_DISPATCHED"},
                     {"webhook_target", webhook_target},
                     {"asin", sku_asin},
                     {"payload_message", format_alert_text(alert, title, sku_asin)},
                     {"latency_micros", DISPATCH_LATENCY_MICROS}};
}

SuggestedPrice suggest_price(std::optional<std::int64_t> our_paise,
                             std::optional<PricePoint> competitor, const PriceLimits& limits,
                             std::int64_t now, const SuggestionSettings& settings) {
  const std::string step = rupees_text(settings.step_paise);
  // The floor wins over a ceiling below it, so that no suggestion goes under the floor.
  std::optional<std::int64_t> ceiling = limits.ceiling;
  std::string crossed;
  if (limits.floor && ceiling && *ceiling < *limits.floor) {
    crossed = " (the ceiling " + rupees_text(*ceiling) + " is below the floor: the floor counts)";
    ceiling = limits.floor;
  }
  const auto clamp = [&](std::int64_t paise) {
    if (ceiling) paise = std::min(paise, *ceiling);
    if (limits.floor) paise = std::max(paise, *limits.floor);
    return paise;
  };
  const auto against_ours = [&](std::int64_t paise) -> std::string {
    if (!our_paise) return "";
    if (paise == *our_paise) return "; our price " + rupees_text(*our_paise) + " stays";
    return std::string(paise > *our_paise ? "; raise" : "; lower") + " from our " +
           rupees_text(*our_paise);
  };
  const bool present =
      competitor && now - competitor->at <= settings.competitor_stale_days * DAY_MICROS;
  if (!present) {
    const std::string absent = competitor
                                   ? "no competitor price in the last " +
                                         std::to_string(settings.competitor_stale_days) +
                                         " days (the last on " + india_date(competitor->at) + ")"
                                   : "no competitor price";
    if (limits.floor) {
      return {*limits.floor, absent + ": hold at the floor " + rupees_text(*limits.floor) +
                                 against_ours(*limits.floor) + crossed};
    }
    if (!our_paise) return {std::nullopt, absent + ", no floor and no price of ours"};
    const std::int64_t kept = clamp(*our_paise);
    return {kept, absent + " and no floor: keep our price" +
                      (kept != *our_paise ? ", down to the ceiling " + rupees_text(kept) : "")};
  }
  const std::int64_t beaten = competitor->paise - settings.step_paise;
  const std::string beat = step + " below the competitor's " + rupees_text(competitor->paise);
  if (limits.floor && beaten < *limits.floor) {
    return {*limits.floor, beat + " would be under the floor: hold at the floor " +
                               rupees_text(*limits.floor) + against_ours(*limits.floor) + crossed};
  }
  if (ceiling && beaten > *ceiling) {
    return {*ceiling, beat + " would be over the ceiling: at the ceiling " + rupees_text(*ceiling) +
                          against_ours(*ceiling) + crossed};
  }
  if (beaten <= 0) {
    if (!our_paise) return {std::nullopt, beat + " is no price, and we have none"};
    return {clamp(*our_paise), beat + " is no price: keep ours" + crossed};
  }
  return {beaten, beat + against_ours(beaten) + crossed};
}

HistoryView view_history(const ProductHistory& history, std::int64_t now, int days,
                         const AlertSettings& settings) {
  HistoryView view;
  view.sku_asin = history.sku_asin;
  view.title = history.title;
  view.platform = history.platform;
  view.limits = history.limits;
  view.now = now;
  view.days = std::max(days, 1);
  view.points_from = india_midnight(india_day(now) - view.days + 1);
  view.ours = view_series(history.ours, now, view.points_from);
  view.competitor = view_series(history.competitor, now, view.points_from);
  view.alerts = find_alerts(until(history.ours, now), until(history.competitor, now), settings);
  return view;
}

std::string describe_history(const ProductHistory& history, std::int64_t now,
                             const HistorySettings& settings) {
  return describe_history(view_history(history, now, 1, settings.alerts), settings.suggestion);
}

std::string describe_history(const HistoryView& view, const SuggestionSettings& settings) {
  std::string text =
      view.sku_asin + " on " + view.platform + (view.title.empty() ? "" : ": " + view.title) + "\n";
  const auto describe = [&](std::string_view name, const SeriesView& series) {
    const SeriesSummary& summary = series.summary;
    text += "  " + std::string(name) + ": ";
    if (summary.count == 0) {
      text += "no observations\n";
      return;
    }
    text += std::to_string(summary.count) +
            (summary.count == 1 ? " observation" : " observations") + ", the latest " +
            rupees_text(summary.latest->paise) + " on " + india_date(summary.latest->at) +
            "; all-time low " + rupees_text(summary.all_time_low->paise) + " on " +
            india_date(summary.all_time_low->at) + "\n";
    for (const WindowSummary& window : summary.windows) text += "    " + window.text + "\n";
    const std::vector<DaySummary>& days = series.days;
    text += "    last days (IST):";
    for (std::size_t i = days.size() > DESCRIBED_DAYS ? days.size() - DESCRIBED_DAYS : 0;
         i < days.size(); ++i) {
      text += ' ';
      text += india_date(days[i].last.at) + " " + rupees_text(days[i].last.paise);
      text += i + 1 < days.size() ? ',' : '\n';
    }
  };
  describe("our price", view.ours);
  describe("competitor", view.competitor);
  text += "  floor " +
          (view.limits.floor ? rupees_text(*view.limits.floor) : std::string("not set")) +
          ", ceiling " +
          (view.limits.ceiling ? rupees_text(*view.limits.ceiling) : std::string("not set")) + "\n";
  text += "  alerts: " + std::to_string(view.alerts.size());
  if (!view.alerts.empty()) {
    const PriceAlert& last = view.alerts.back();
    text += ", the last " + std::string(form_of(last.kind).headline) + " on " +
            india_date(last.at) + " (competitor " + rupees_text(last.competitor_paise) +
            (last.our_paise ? ", ours " + rupees_text(*last.our_paise) + ", " +
                                  format_fixed2(last.gap_percent) + "%"
                            : std::string()) +
            ")";
  }
  const SuggestedPrice suggested = suggest_price(view, settings);
  text += "\n  suggested price: " +
          (suggested.paise ? rupees_text(*suggested.paise) : std::string("none")) + " (" +
          suggested.reason + ")\n";
  return text;
}

json::Value alert_json(const PriceAlert& alert) {
  return json::Value{
      {"kind", form_of(alert.kind).name},
      {"observed_at_utc", utc_value(alert.at)},
      {"competitor_price_inr", rupees_value(alert.competitor_paise)},
      {"our_price_inr", rupees_value(alert.our_paise)},
      {"gap_percent", alert.our_paise ? json::Value(alert.gap_percent) : json::Value(nullptr)}};
}

json::Value history_json(const ProductHistory& history, std::int64_t now, int days,
                         std::string_view webhook_target, const HistorySettings& settings) {
  return history_json(view_history(history, now, days, settings.alerts), webhook_target,
                      settings.suggestion);
}

json::Value history_json(const HistoryView& view, std::string_view webhook_target,
                         const SuggestionSettings& settings) {
  json::Value alerts = json::Value::array();
  for (const PriceAlert& alert : view.alerts) {
    json::Value& value = alerts.emplace_back(alert_json(alert));
    value["dispatch"] = alert_dispatch_record(alert, view.title, view.sku_asin, webhook_target);
  }
  const SuggestedPrice suggested = suggest_price(view, settings);
  return json::Value{{"sku_asin", view.sku_asin},
                     {"title", view.title},
                     {"platform", view.platform},
                     {"as_of_utc", utc_value(view.now)},
                     {"points_since_utc", utc_value(view.points_from)},
                     {"floor_inr", rupees_value(view.limits.floor)},
                     {"ceiling_inr", rupees_value(view.limits.ceiling)},
                     {"ours", series_value(view.ours)},
                     {"competitor", series_value(view.competitor)},
                     {"alerts", std::move(alerts)},
                     {"suggested_price_inr", rupees_value(suggested.paise)},
                     {"suggestion_reason", suggested.reason}};
}

std::string text_chart(std::span<const PricePoint> ours, std::span<const PricePoint> competitor,
                       std::int64_t now, int days) {
  return text_chart(summarise_days(until(ours, now)), summarise_days(until(competitor, now)), now,
                    days);
}

std::string text_chart(std::span<const DaySummary> ours, std::span<const DaySummary> competitor,
                       std::int64_t now, int days) {
  days = std::max(days, 1);
  const std::int64_t first_day = india_day(now) - days + 1;
  const auto day_count = static_cast<std::size_t>(days);
  const std::size_t columns = std::min(CHART_COLUMNS, day_count);
  // Each series' last price in each column.
  std::array<std::vector<std::optional<std::int64_t>>, 2> marks;
  std::optional<std::int64_t> low;
  std::optional<std::int64_t> high;
  for (std::size_t s = 0; s < 2; ++s) {
    marks[s].resize(columns);
    for (const DaySummary& summary : s == 0 ? ours : competitor) {
      const std::int64_t day = summary.day - first_day;
      if (day < 0) continue;
      marks[s][static_cast<std::size_t>(day) * columns / day_count] = summary.last.paise;
      low = std::min(low.value_or(summary.low.paise), summary.low.paise);
      high = std::max(high.value_or(summary.high), summary.high);
    }
  }
  if (!low) return "no observations to chart\n";
  std::vector<std::string> grid(CHART_ROWS, std::string(columns, ' '));
  for (std::size_t s = 0; s < 2; ++s) {
    for (std::size_t c = 0; c < columns; ++c) {
      if (!marks[s][c]) continue;
      const std::int64_t span = std::max<std::int64_t>(*high - *low, 1);
      const auto row = static_cast<std::size_t>(
          ((*high - *marks[s][c]) * static_cast<std::int64_t>(CHART_ROWS - 1) + span / 2) / span);
      char& cell = grid[row][c];
      cell = s == 0 ? 'o' : (cell == 'o' ? '*' : 'x');
    }
  }
  // Widths in characters, not bytes: the rupee sign is three bytes wide in UTF-8.
  const auto width = [](const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
      return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
  };
  const std::string top = rupees_text(*high);
  const std::string bottom = rupees_text(*low);
  const std::size_t label = std::max(width(top), width(bottom));
  std::string chart;
  for (std::size_t row = 0; row < CHART_ROWS; ++row) {
    const std::string text = row == 0 ? top : row + 1 == CHART_ROWS ? bottom : std::string();
    chart += text + std::string(label - width(text), ' ') + " |" + grid[row] + "\n";
  }
  const std::string from = india_date(india_midnight(first_day));
  const std::string to = india_date(now);
  chart +=
      std::string(label + 2, ' ') + from +
      std::string(columns > from.size() + to.size() ? columns - from.size() - to.size() : 1, ' ') +
      to + "\n" + std::string(label + 2, ' ') + "o our price, x competitor, * both\n";
  return chart;
}

}  // namespace qmr::engine
