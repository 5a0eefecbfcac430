// A product's price history: days in India, window summaries, alerts once per crossing and the
// suggested price, each against values the test works out on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <tuple>

#include "engine/market_engine.hpp"
#include "engine/price_history.hpp"

namespace qmr::engine {
namespace {

constexpr std::int64_t HOUR = 3'600'000'000;
constexpr std::int64_t MINUTE = 60'000'000;
// 2026-12-10T00:00:00 in India (2026-12-09T18:30:00Z), day 20797 in India.
constexpr std::int64_t DAY_20797 = 1'796'841'000'000'000;

// The time of minute `minute` of day `day` in India, days counted back from 10 Dec 2026.
std::int64_t india_time(int days_back, std::int64_t minute) {
  return DAY_20797 - days_back * DAY_MICROS + minute * MINUTE;
}

TEST(IndiaDays, DayEdgesAndDates) {
  EXPECT_EQ(india_midnight(20797), DAY_20797);
  const std::pair<std::int64_t, std::string> cases[] = {
      {DAY_20797, "10 Dec 2026"},
      {DAY_20797 - 1, "9 Dec 2026"},  // 23:59:59.999999 in India, 18:29:59.999999 UTC
      {DAY_20797 + 24 * HOUR - 1, "10 Dec 2026"},
      {DAY_20797 + 24 * HOUR, "11 Dec 2026"},
      {india_time(39, 0), "1 Nov 2026"},
      {india_time(284, 300), "1 Mar 2026"},
      {0, "1 Jan 1970"},  // 05:30 in India
      {-INDIA_OFFSET_MICROS - 1, "31 Dec 1969"}};
  for (const auto& [at, date] : cases) {
    EXPECT_EQ(india_date(at), date) << at;
    EXPECT_EQ(india_day(at), india_day(india_midnight(india_day(at)))) << at;
  }
  EXPECT_EQ(rupees_text(114900), "\u20B91149.00");
  EXPECT_EQ(rupees_text(5), "\u20B90.05");
}

// A series of (days back, minute of that day in India, rupees), oldest first.
struct Observation {
  int days_back;
  std::int64_t minute;
  std::int64_t rupees;
};

std::vector<PricePoint> series_of(const std::vector<Observation>& observations) {
  std::vector<PricePoint> series;
  for (const auto& o : observations)
    series.push_back({india_time(o.days_back, o.minute), o.rupees * 100});
  return series;
}

TEST(SummariseSeries, WindowsMatchAnIndependentCount) {
  // A day's observation for 200 days with a known pattern, and shapes of sparse data.
  std::vector<Observation> daily;
  for (int back = 199; back >= 0; --back) daily.push_back({back, 600, 1000 + (back * 37) % 101});
  const std::vector<std::vector<Observation>> shapes = {
      daily,
      {},
      {{3, 0, 500}},                                                   // a single point
      {{20, 10, 700}, {2, 0, 650}},                                    // two points
      {{40, 0, 900}, {40, 1439, 880}, {0, 0, 870}},                    // day edges, 40 days of data
      {{180, 0, 1000}, {179, 0, 990}, {89, 1439, 980}, {29, 0, 970}},  // the windows' first days
  };
  // The time asked about: the last moment of today, its first, and midday.
  for (const std::int64_t now_minute : {std::int64_t{1439}, std::int64_t{0}, std::int64_t{720}}) {
    const std::int64_t now = india_time(0, now_minute) + (now_minute == 1439 ? MINUTE - 1 : 0);
    for (const auto& shape : shapes) {
      const std::vector<PricePoint> series = series_of(shape);
      const SeriesSummary summary = summarise_series(series, now);
      // Worked out from each observation's own day in India and minute, not from its time.
      std::vector<Observation> seen;
      for (const auto& o : shape) {
        if (o.days_back > 0 || o.minute <= now_minute) seen.push_back(o);
      }
      ASSERT_EQ(summary.count, seen.size());
      if (!seen.empty()) {
        const auto low = std::min_element(seen.begin(), seen.end(),
                                          [](auto& a, auto& b) { return a.rupees < b.rupees; });
        EXPECT_EQ(summary.all_time_low->paise, low->rupees * 100);
        EXPECT_EQ(summary.all_time_low->at, india_time(low->days_back, low->minute));
        EXPECT_EQ(summary.latest->paise, seen.back().rupees * 100);
      }
      ASSERT_EQ(summary.windows.size(), 3u);
      for (const WindowSummary& window : summary.windows) {
        const std::string edges = "last " + std::to_string(window.days) + " days (" +
                                  india_date(india_time(window.days - 1, 0)) +
                                  " to 10 Dec 2026, IST): ";
        EXPECT_EQ(window.start, india_time(window.days - 1, 0));
        std::vector<Observation> in;
        for (const auto& o : seen) {
          if (o.days_back < window.days) in.push_back(o);
        }
        const bool covered = !shape.empty() && shape.front().days_back >= window.days - 1;
        EXPECT_EQ(window.count, in.size());
        EXPECT_EQ(window.covered, covered);
        std::string expected = edges;
        if (in.empty()) {
          expected += "no observations";
        } else if (!covered || in.size() < 3) {
          expected += in.size() == 1 ? "1 observation, on "
                                     : std::to_string(in.size()) + " observations since ";
          expected += india_date(india_time(in.front().days_back, 0));
        } else {
          std::int64_t low = in[0].rupees, high = in[0].rupees, sum = 0;
          for (const auto& o : in) {
            low = std::min(low, o.rupees);
            high = std::max(high, o.rupees);
            sum += o.rupees * 100;
          }
          const auto count = static_cast<std::int64_t>(in.size());
          const std::int64_t average = (2 * sum + count) / (2 * count);  // halves up
          ASSERT_TRUE(window.statistics);
          EXPECT_EQ(*window.statistics, (WindowStatistics{low * 100, average, high * 100}));
          expected += "lowest " + rupees_text(low * 100) + ", average " + rupees_text(average) +
                      ", highest " + rupees_text(high * 100) + " over " +
                      std::to_string(in.size()) + " observations";
        }
        EXPECT_EQ(window.statistics.has_value(), covered && in.size() >= 3);
        EXPECT_EQ(window.text, expected) << now_minute << " " << shape.size();
      }
    }
  }
}

TEST(DailyClosing, LastObservationOfEachDayInIndia) {
  const auto series = series_of({{2, 0, 10}, {2, 1439, 11}, {1, 0, 12}, {1, 330, 13}, {0, 5, 14}});
  EXPECT_EQ(daily_closing(series), series_of({{2, 1439, 11}, {1, 330, 13}, {0, 5, 14}}));
}

// Alerts as "KIND@DAY" for points a day apart (day = position), ours and the competitor's.
struct AlertCase {
  std::string name;
  std::vector<std::pair<int, std::int64_t>> ours;        // day, rupees
  std::vector<std::pair<int, std::int64_t>> competitor;  // day, rupees
  std::string expected;
};

std::string alerts_of(const AlertCase& c) {
  const auto to_series = [](const std::vector<std::pair<int, std::int64_t>>& points) {
    std::vector<PricePoint> series;
    for (const auto& [day, rupees] : points)
      series.push_back({india_time(100 - day, 600), rupees * 100});
    return series;
  };
  std::string out;
  for (const PriceAlert& alert : find_alerts(to_series(c.ours), to_series(c.competitor))) {
    const int day = static_cast<int>(100 - india_day(DAY_20797) + india_day(alert.at));
    out += std::string(out.empty() ? "" : " ") +
           (alert.kind == AlertKind::DROP   ? "D"
            : alert.kind == AlertKind::RISE ? "R"
                                            : "L") +
           "@" + std::to_string(day);
  }
  return out;
}

TEST(FindAlerts, OncePerCrossing) {
  const std::vector<std::pair<int, std::int64_t>> ours = {{0, 1000}};
  const AlertCase cases[] = {
      // 949 is 5.1 % below us, 951 4.9 %: only 960 and above (4 % or less) re-arms a drop.
      {"wobbling at the threshold",
       ours,
       {{0, 960}, {1, 949}, {2, 951}, {3, 949}, {4, 955}, {5, 948}},
       "L@1 D@1"},
      {"a drop, back by the band, a drop", ours, {{0, 940}, {1, 960}, {2, 940}}, "D@0 D@2"},
      {"a drop and one rise while it wobbles at our price",
       ours,
       {{0, 940}, {1, 1001}, {2, 999}, {3, 1001}},
       "D@0 R@1"},
      {"a rise without a drop first", ours, {{0, 980}, {1, 1010}}, ""},
      {"a slide: a low by more than 1 % of the last",
       ours,
       {{0, 1100}, {1, 1080}, {2, 1075}, {3, 1060}, {4, 1065}, {5, 1049}},
       "L@1 L@3 L@5"},
      {"gone for more than 7 days and back below us",
       {{0, 1000}, {5, 1000}, {10, 1000}},
       {{0, 940}, {10, 940}},
       "D@0 D@10"},
      {"gone for 7 days only", {{0, 1000}, {7, 1000}}, {{0, 940}, {7, 940}}, "D@0"},
      {"our own rise makes the gap", {{0, 1000}, {2, 1100}}, {{0, 1000}, {1, 1000}}, "D@2"},
      {"our rise meets a competitor long gone", {{0, 1000}, {9, 1100}}, {{0, 1000}}, ""},
      {"lows before our first price, a drop at it",
       {{5, 1000}},
       {{0, 940}, {1, 900}, {2, 895}},
       "L@1 D@5"},
  };
  for (const AlertCase& c : cases) EXPECT_EQ(alerts_of(c), c.expected) << c.name;
}

TEST(FindAlerts, RandomWalksAlertOnlyAtCrossings) {
  std::mt19937 random(32);
  const AlertSettings settings;
  for (int walk = 0; walk < 200; ++walk) {
    std::vector<PricePoint> ours = {{0, 100000}};
    std::vector<PricePoint> competitor;
    std::int64_t price = 100000;
    for (int step = 0; step < 60; ++step) {
      price =
          std::max<std::int64_t>(100, price + static_cast<std::int64_t>(random() % 4001) - 2000);
      competitor.push_back({step * HOUR, price});
    }
    // Every drop is below the threshold and, after the first, follows a re-arming gap; a rise
    // is above our price and follows a drop with no rise between.
    char last = ' ';  // the kind of the last drop or rise
    std::int64_t from = 0;
    for (const PriceAlert& alert : find_alerts(ours, competitor, settings)) {
      const double gap = static_cast<double>(alert.competitor_paise - 100000) / 1000.0;
      if (alert.kind == AlertKind::DROP) {
        EXPECT_LT(gap, -5.0);
        bool rearmed = last != 'D';
        for (const PricePoint& point : competitor) {
          if (point.at > from && point.at < alert.at) rearmed |= point.paise >= 96000;
        }
        EXPECT_TRUE(rearmed) << walk;
        last = 'D';
        from = alert.at;
      } else if (alert.kind == AlertKind::RISE) {
        EXPECT_GT(gap, 0.0);
        EXPECT_EQ(last, 'D') << walk;
        last = 'R';
      } else {
        for (const PricePoint& point : competitor) {
          if (point.at < alert.at) {
            EXPECT_GT(point.paise, alert.competitor_paise);
          }
        }
      }
    }
  }
}

TEST(AlertText, TheDropAlertIsThePriceDropAlertOfItsProduct) {
  const auto seeded = MarketEngine::create()->dispatch_price_alert("http://localhost:8080/reprice");
  ASSERT_TRUE(seeded.ok());
  PriceAlert alert{AlertKind::DROP, 0, 114900, 129900, -11.54};
  EXPECT_EQ(alert_dispatch_record(alert, "Noise ColorFit Pulse Grand Smart Watch", "B09G9FPHY6",
                                  "http://localhost:8080/reprice"),
            seeded.value());
  alert.kind = AlertKind::RISE;
  alert.our_paise.reset();
  EXPECT_EQ(format_alert_text(alert, "Lamp", "0042"),
            "\U0001F6D2 *COMPETITOR PRICE RISE ALERT*\n\n*Product:* Lamp\n*ASIN:* 0042\n"
            "*Competitor Price:* \u20B91149.00\n*Our Current Price:* unknown\n*Difference:* "
            "unknown\n*Action:* Reprice toward the ceiling recommended.");
}

TEST(SuggestPrice, BeatsTheCompetitorWithinTheLimits) {
  const std::int64_t now = DAY_20797;
  const PricePoint fresh{now - DAY_MICROS, 100000};
  const PricePoint stale{now - 8 * DAY_MICROS, 100000};
  const struct {
    std::optional<std::int64_t> ours;
    std::optional<PricePoint> competitor;
    PriceLimits limits;
    std::optional<std::int64_t> expected;
    std::string reason;
  } cases[] = {
      {120000,
       fresh,
       {90000, 150000},
       99900,
       "\u20B91.00 below the competitor's \u20B91000.00; lower from our \u20B91200.00"},
      {95000,
       fresh,
       {},
       99900,
       "\u20B91.00 below the competitor's \u20B91000.00; raise from our \u20B9950.00"},
      {95000,
       fresh,
       {99950, {}},
       99950,
       "\u20B91.00 below the competitor's \u20B91000.00 would be under the floor: hold at the "
       "floor \u20B9999.50; raise from our \u20B9950.00"},
      {95000,
       fresh,
       {{}, 97000},
       97000,
       "\u20B91.00 below the competitor's \u20B91000.00 would be over the ceiling: at the "
       "ceiling \u20B9970.00; raise from our \u20B9950.00"},
      {95000,
       stale,
       {90000, {}},
       90000,
       "no competitor price in the last 7 days (the last on 2 Dec 2026): hold at the floor "
       "\u20B9900.00; lower from our \u20B9950.00"},
      {90000,
       {},
       {90000, 80000},
       90000,
       "no competitor price: hold at the floor \u20B9900.00; our price \u20B9900.00 stays (the "
       "ceiling \u20B9800.00 is below the floor: the floor counts)"},
      {95000,
       {},
       {{}, 94000},
       94000,
       "no competitor price and no floor: keep our price, down to the ceiling \u20B9940.00"},
      {{}, {}, {}, {}, "no competitor price, no floor and no price of ours"},
      {95000,
       PricePoint{now, 50},
       {},
       95000,
       "\u20B91.00 below the competitor's \u20B90.50 is no price: keep ours"},
  };
  for (const auto& c : cases) {
    const SuggestedPrice suggested = suggest_price(c.ours, c.competitor, c.limits, now);
    EXPECT_EQ(suggested.paise, c.expected) << c.reason;
    EXPECT_EQ(suggested.reason, c.reason);
  }
}

TEST(SuggestPrice, NeverLeavesTheFloorAndCeiling) {
  std::mt19937 random(7);
  const auto price = [&] { return static_cast<std::int64_t>(random() % 200000) + 1; };
  for (int i = 0; i < 20000; ++i) {
    std::int64_t floor = price();
    std::int64_t ceiling = price();
    if (floor > ceiling) std::swap(floor, ceiling);
    const std::optional<PricePoint> competitor =
        random() % 4 ? std::optional(PricePoint{
                           -static_cast<std::int64_t>(random() % 10) * DAY_MICROS, price()})
                     : std::nullopt;
    const std::optional<std::int64_t> ours = random() % 4 ? std::optional(price()) : std::nullopt;
    const SuggestedPrice suggested = suggest_price(ours, competitor, {floor, ceiling}, 0,
                                                   {static_cast<std::int64_t>(random() % 500)});
    ASSERT_TRUE(suggested.paise);
    EXPECT_GE(*suggested.paise, floor);
    EXPECT_LE(*suggested.paise, ceiling);
    EXPECT_FALSE(suggested.reason.empty());
  }
}

// A bottle's history: three days of ours, four of the competitor's, a drop, and a price of the
// competitor's after noon of 10 Dec, the time its tests ask about.
ProductHistory bottle() {
  return {"B0TESTAAA1",
          "Bottle",
          "Amazon.in",
          series_of({{2, 600, 1000}, {1, 600, 1000}, {0, 600, 1000}}),
          series_of({{3, 600, 1010}, {2, 600, 990}, {1, 600, 940}, {0, 600, 945}, {0, 1000, 800}}),
          {90000, 120000}};
}

TEST(DescribeHistory, SummariesAlertsAndSuggestionAsOfATime) {
  const std::int64_t now = india_time(0, 720);
  // The competitor's price after `now` is left out of everything.
  const ProductHistory bottle = engine::bottle();
  const ProductHistory lamp_history{"0042", "", "Flipkart", series_of({{0, 600, 500}}), {}, {}};
  const auto windows = [](const std::string& what) {
    return "    last 30 days (11 Nov 2026 to 10 Dec 2026, IST): " + what +
           "\n    last 90 days (12 Sep 2026 to 10 Dec 2026, IST): " + what +
           "\n    last 180 days (14 Jun 2026 to 10 Dec 2026, IST): " + what + "\n";
  };
  EXPECT_EQ(describe_history(bottle, now),
            "B0TESTAAA1 on Amazon.in: Bottle\n"
            "  our price: 3 observations, the latest \u20B91000.00 on 10 Dec 2026; all-time low "
            "\u20B91000.00 on 8 Dec 2026\n" +
                windows("3 observations since 8 Dec 2026") +
                "    last days (IST): 8 Dec 2026 \u20B91000.00, 9 Dec 2026 \u20B91000.00, 10 Dec "
                "2026 \u20B91000.00\n"
                "  competitor: 4 observations, the latest \u20B9945.00 on 10 Dec 2026; all-time "
                "low \u20B9940.00 on 9 Dec 2026\n" +
                windows("4 observations since 7 Dec 2026") +
                "    last days (IST): 7 Dec 2026 \u20B91010.00, 8 Dec 2026 \u20B9990.00, 9 Dec "
                "2026 \u20B9940.00, 10 Dec 2026 \u20B9945.00\n"
                "  floor \u20B9900.00, ceiling \u20B91200.00\n"
                "  alerts: 3, the last COMPETITOR PRICE DROP ALERT on 9 Dec 2026 (competitor "
                "\u20B9940.00, ours \u20B91000.00, -6.00%)\n"
                "  suggested price: \u20B9944.00 (\u20B91.00 below the competitor's \u20B9945.00; "
                "lower from our \u20B91000.00)\n");
  const std::string lamp = describe_history(lamp_history, now);
  EXPECT_EQ(lamp.substr(0, lamp.find(';')),
            "0042 on Flipkart\n  our price: 1 observation, the latest \u20B9500.00 on 10 Dec 2026");
  EXPECT_EQ(lamp.substr(lamp.find("  competitor")),
            "  competitor: no observations\n  floor not set, ceiling not set\n  alerts: 0\n"
            "  suggested price: \u20B9500.00 (no competitor price and no floor: keep our price)\n");
}

TEST(HistoryJson, PointsOfTheDaysAskedWindowEdgesAlertsAndSuggestion) {
  const std::int64_t now = india_time(0, 720);
  std::vector<Observation> daily;
  for (int back = 39; back >= 0; --back) daily.push_back({back, 0, 100 + back % 3});
  const ProductHistory steady{"SKU-1", "Cup", "Flipkart", series_of(daily), {}, {}};
  const json::Value bottle =
      history_json(engine::bottle(), now, 2, "http://localhost:8080/reprice");
  const json::Value cup = history_json(steady, now, 90, "");
  const auto at = [](const char* utc, double rupees) {
    return json::Value{{"observed_at_utc", utc}, {"price_inr", rupees}};
  };
  const std::tuple<const json::Value&, const char*, json::Value> cases[] = {
      {bottle, "/as_of_utc", "2026-12-10T06:30:00+00:00"},
      {bottle, "/points_since_utc", "2026-12-08T18:30:00+00:00"},
      {bottle, "/floor_inr", 900.0},
      {bottle, "/ceiling_inr", 1200.0},
      {bottle, "/ours/points",
       json::Value::array(
           {at("2026-12-09T04:30:00+00:00", 1000.0), at("2026-12-10T04:30:00+00:00", 1000.0)})},
      {bottle, "/competitor/points",
       json::Value::array(
           {at("2026-12-09T04:30:00+00:00", 940.0), at("2026-12-10T04:30:00+00:00", 945.0)})},
      {bottle, "/competitor/all_time_low", at("2026-12-09T04:30:00+00:00", 940.0)},
      {bottle, "/competitor/latest", at("2026-12-10T04:30:00+00:00", 945.0)},
      {bottle, "/competitor/windows/0/start_utc", "2026-11-10T18:30:00+00:00"},
      {bottle, "/competitor/windows/0/end_utc", "2026-12-10T06:30:00+00:00"},
      {bottle, "/competitor/windows/0/covered", false},
      {bottle, "/competitor/windows/0/average_inr", nullptr},
      {bottle, "/alerts/2/kind", "DROP"},
      {bottle, "/alerts/2/gap_percent", -6.0},
      {bottle, "/alerts/2/dispatch/webhook_target", "http://localhost:8080/reprice"},
      {bottle, "/suggested_price_inr", 944.0},
      {cup, "/ours/windows/0/lowest_inr", 100.0},
      {cup, "/ours/windows/0/average_inr", 101.0},
      {cup, "/ours/windows/0/highest_inr", 102.0},
      {cup, "/ours/windows/1/lowest_inr", nullptr},
      {cup, "/competitor/latest", nullptr},
      {cup, "/alerts", json::Value::array()},
      {cup, "/suggested_price_inr", 100.0},
      {cup, "/suggestion_reason", "no competitor price and no floor: keep our price"}};
  for (const auto& [value, pointer, expected] : cases) {
    EXPECT_EQ(value.at(json::Value::json_pointer(pointer)), expected) << pointer;
  }
  EXPECT_EQ(cup["ours"]["points"].size(), 40u);
  EXPECT_EQ(history_json(steady, now, 0, ""), history_json(steady, now, 1, ""));
  EXPECT_EQ(bottle["alerts"].size(), 3u);
}

TEST(TextChart, ADayAColumnOrSeveralAndEachSeriesMarked) {
  const std::int64_t now = india_time(0, 720);
  const ProductHistory bottle = engine::bottle();
  EXPECT_EQ(text_chart(bottle.ours, bottle.competitor, now, 4),
            "\u20B91010.00 |x   \n"
            "         | ooo\n"
            "         | x  \n"
            "         |    \n"
            "         |    \n"
            "         |    \n"
            "         |    \n"
            "\u20B9940.00  |  xx\n"
            "          7 Dec 2026 10 Dec 2026\n"
            "          o our price, x competitor, * both\n");
  // 120 days in 60 columns, two a column: the later day's price; the same price is "*".
  std::vector<Observation> ours;
  std::vector<Observation> theirs;
  for (int back = 119; back >= 0; --back) {
    ours.push_back({back, 0, 100});
    theirs.push_back({back, 0, back % 2 ? 100 : 200});
  }
  const std::string chart = text_chart(series_of(ours), series_of(theirs), now, 120);
  EXPECT_EQ(chart.substr(0, chart.find('\n')), "\u20B9200.00 |" + std::string(60, 'x'));
  EXPECT_NE(chart.find("\u20B9100.00 |" + std::string(60, 'o') + "\n"), std::string::npos);
  EXPECT_NE(chart.find("13 Aug 2026" + std::string(38, ' ') + "10 Dec 2026"), std::string::npos);
  EXPECT_EQ(text_chart(series_of(ours), {}, india_time(200, 0), 30), "no observations to chart\n");
  EXPECT_EQ(text_chart(series_of(ours), {}, now, -3), text_chart(series_of(ours), {}, now, 1));
}

}  // namespace
}  // namespace qmr::engine

namespace qmr::engine {
namespace {

// Day by day, the alerts are find_alerts' own; a day is read only when one may fire in it, so a
// competitor drifting slowly across the threshold has most of its days passed over.
TEST(FindAlertsByDay, FeedsOnlyTheDaysInWhichSomethingMayHappen) {
  std::vector<PricePoint> ours;
  std::vector<PricePoint> theirs;
  for (int day = 0; day < 300; ++day) {
    const std::int64_t midnight = india_midnight(20500 + day);
    ours.push_back({midnight + 12 * HOUR, 100000});
    for (int hour = 0; hour < 24; ++hour) {
      const double angle = (day * 24 + hour) * 6.2832 * 4 / (300 * 24);
      theirs.push_back({midnight + hour * HOUR + 1, 98000 + std::llround(7000 * std::sin(angle))});
    }
  }
  // Gone for 20 days, and back.
  std::erase_if(theirs, [&](const PricePoint& point) {
    return point.at >= india_midnight(20700) && point.at < india_midnight(20720);
  });
  const std::vector<DaySummary> our_days = summarise_days(ours);
  const std::vector<DaySummary> their_days = summarise_days(theirs);
  const auto slice = [](const std::vector<PricePoint>& series, std::int64_t day) {
    std::vector<PricePoint> points;
    for (const PricePoint& point : series) {
      if (india_day(point.at) == day) points.push_back(point);
    }
    return points;
  };
  for (const AlertSettings& settings :
       {AlertSettings{}, AlertSettings{2, 0.5, 1}, AlertSettings{8, 3, 30}}) {
    std::size_t read = 0;
    const std::vector<PriceAlert> by_day = find_alerts_by_day(
        our_days, their_days,
        [&](std::int64_t day) {
          ++read;
          return std::pair(slice(ours, day), slice(theirs, day));
        },
        settings);
    const std::vector<PriceAlert> expected = find_alerts(ours, theirs, settings);
    EXPECT_FALSE(expected.empty());
    EXPECT_TRUE(by_day == expected) << settings.threshold_percent;
    EXPECT_LT(read, 60U) << settings.threshold_percent;
  }
}

}  // namespace
}  // namespace qmr::engine
