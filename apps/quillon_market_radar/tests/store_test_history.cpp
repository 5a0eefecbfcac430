// A history read through the store's daily roll-up is the one the pure functions give from every
// observation: generated series (wobbling around the threshold, sparse, a single point, a
// competitor that leaves and returns, thousands of observations in one day, observations after
// the time asked about) written in a random order, changed and deleted, and a store migrated
// forward with them already in it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engine/price_history.hpp"
#include "store/history.hpp"
#include "store_test_support.hpp"

namespace qmr::store {
namespace {

using engine::DAY_MICROS;
using engine::PricePoint;

constexpr std::int64_t HOUR = 3'600'000'000;
// 2026-12-10T00:00:00 in India.
constexpr std::int64_t DAY_20797 = 1'796'841'000'000'000;

struct Case {
  std::string name;
  std::vector<PricePoint> ours;
  std::vector<PricePoint> competitor;
};

// Each shape of series, ending near DAY_20797.
std::vector<Case> generated_cases() {
  std::mt19937_64 random(32);
  const auto uniform = [&](std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(random);
  };
  std::vector<Case> cases;
  // Ours steady, the competitor wobbling hourly across the 5 % threshold and its band.
  Case wobble{"wobble", {}, {}};
  for (int day = 200; day > 0; --day) {
    const std::int64_t midnight = DAY_20797 - day * DAY_MICROS;
    wobble.ours.push_back({midnight + 9 * HOUR, 100000 + (day % 3) * 10});
    for (int hour = 0; hour < 24; ++hour) {
      wobble.competitor.push_back({midnight + hour * HOUR + 60'000'000, uniform(93800, 96200)});
    }
  }
  cases.push_back(wobble);
  // Both walking slowly for 400 days, 0 to 12 observations a day: most days nothing crosses.
  Case walk{"walk", {}, {}};
  std::int64_t our_price = 100000;
  std::int64_t their_price = 100000;
  for (int day = 400; day > 0; --day) {
    const std::int64_t midnight = DAY_20797 - day * DAY_MICROS;
    for (std::int64_t i = uniform(0, 12), at = midnight; i > 0; --i) {
      at += uniform(1, DAY_MICROS / 13);
      our_price = std::max<std::int64_t>(1000, our_price + uniform(-300, 300));
      walk.ours.push_back({at, our_price});
    }
    for (std::int64_t i = uniform(0, 12), at = midnight + 1; i > 0; --i) {
      at += uniform(1, DAY_MICROS / 13);
      their_price = std::max<std::int64_t>(1000, their_price + uniform(-400, 400));
      walk.competitor.push_back({at, their_price});
    }
  }
  cases.push_back(walk);
  // A few observations weeks apart, and a series of one point.
  Case sparse{"sparse", {}, {}};
  for (int day = 300; day > 0; day -= static_cast<int>(uniform(10, 60))) {
    sparse.ours.push_back(
        {DAY_20797 - day * DAY_MICROS + uniform(0, DAY_MICROS - 1), uniform(90000, 110000)});
    sparse.competitor.push_back(
        {DAY_20797 - day * DAY_MICROS + uniform(0, DAY_MICROS - 1), uniform(80000, 120000)});
  }
  cases.push_back(sparse);
  cases.push_back({"single", {}, {{DAY_20797 - 3 * DAY_MICROS + HOUR, 99900}}});
  // A competitor daily below us, gone for 20 days, back lower, then above us.
  Case gone{"gone and back", {}, {}};
  for (int day = 90; day > 0; --day) {
    const std::int64_t midnight = DAY_20797 - day * DAY_MICROS;
    gone.ours.push_back({midnight + 10 * HOUR, 100000});
    if (day > 60 || day <= 40) {
      gone.competitor.push_back({midnight + 11 * HOUR, day > 60   ? 93000
                                                       : day > 20 ? 90000
                                                                  : 101000});
    }
  }
  cases.push_back(gone);
  // Thousands of observations in one day (today, some after the time asked), beside five days.
  Case busy{"one busy day", {}, {}};
  for (int day = 5; day > 0; --day) busy.ours.push_back({DAY_20797 - day * DAY_MICROS, 50000});
  for (std::int64_t i = 0; i < 3000; ++i) {
    busy.competitor.push_back({DAY_20797 + i * 20'000'000, uniform(45000, 52000)});
  }
  busy.ours.push_back({DAY_20797 + 2 * HOUR, 49000});
  cases.push_back(busy);
  return cases;
}

// Writes `series` of `sku` into `table`, in a random order.
void write_series(Database& store, const std::string& table, const std::string& sku,
                  std::vector<PricePoint> series, std::mt19937_64& random) {
  std::shuffle(series.begin(), series.end(), random);
  auto insert = store.prepare("INSERT INTO " + table +
                              " (sku_asin, platform, observed_at, price_paise, import_id, "
                              "source_line) VALUES (?1, 'Flipkart', ?2, ?3, 1, 1)");
  ASSERT_TRUE(insert.ok()) << insert.error().message;
  for (const PricePoint& point : series) {
    insert.value().reset();
    insert.value().bind(1, sku).bind(2, point.at).bind(3, point.paise);
    auto done = insert.value().step();
    ASSERT_TRUE(done.ok()) << done.error().message;
  }
}

// Compares the views the store reads with those of the pure functions for every case, at times
// before, inside and after the series, listing several numbers of days, under several settings.
void expect_views_of_pure_functions(Database& store, const std::vector<Case>& cases,
                                    const std::string& when) {
  const engine::AlertSettings settings[] = {{}, {2, 0.5, 1}, {8, 3, 30}, {0, 0, 7}};
  for (const Case& generated : cases) {
    auto stored = read_price_history(store, {generated.name, "Flipkart", {}});
    ASSERT_TRUE(stored.ok() && stored.value().size() == 1) << generated.name;
    engine::ProductHistory history{generated.name, "", "Flipkart", {}, {}, {}};
    for (const ObservedPrice& point : stored.value()[0].ours) {
      history.ours.push_back({point.at, point.paise});
    }
    for (const ObservedPrice& point : stored.value()[0].competitor) {
      history.competitor.push_back({point.at, point.paise});
    }
    const std::int64_t nows[] = {DAY_20797 - 500 * DAY_MICROS, DAY_20797 - 45 * DAY_MICROS + 1,
                                 DAY_20797 + 8 * HOUR + 5, DAY_20797 + 30 * HOUR};
    for (const std::int64_t now : nows) {
      for (const int days : {1, 90, 3650}) {
        for (const engine::AlertSettings& alerts : settings) {
          auto views = read_history_views(store, {generated.name, {}, {}}, now, days, alerts);
          ASSERT_TRUE(views.ok()) << views.error().message;
          ASSERT_EQ(views.value().size(), 1U);
          const engine::HistoryView expected = engine::view_history(history, now, days, alerts);
          const std::string where = when + ", " + generated.name + " at " + std::to_string(now) +
                                    ", " + std::to_string(days) + " days, threshold " +
                                    std::to_string(alerts.threshold_percent);
          EXPECT_EQ(views.value()[0].ours, expected.ours) << where;
          EXPECT_EQ(views.value()[0].competitor, expected.competitor) << where;
          EXPECT_EQ(views.value()[0].alerts.size(), expected.alerts.size()) << where;
          EXPECT_TRUE(views.value()[0] == expected) << where;
          EXPECT_EQ(engine::describe_history(views.value()[0]), engine::describe_history(expected))
              << where;
        }
      }
    }
  }
}

TEST(HistoryRollUp, AnswersAsThePureFunctionsFromEveryObservation) {
  test::TempFolder folder;
  const std::vector<Case> cases = generated_cases();
  {
    auto store = open_store(folder.path);
    ASSERT_TRUE(store.ok()) << store.error().message;
    ASSERT_TRUE(store.value()
                    .execute("INSERT INTO imports (id, sha256, file_name, kind, imported_at) "
                             "VALUES (1, 'x', 'generated.csv', 'competitor', 0)")
                    .ok());
    std::mt19937_64 random(7);
    {
      auto transaction = Transaction::begin(store.value());
      ASSERT_TRUE(transaction.ok());
      for (const Case& generated : cases) {
        write_series(store.value(), "our_prices", generated.name, generated.ours, random);
        write_series(store.value(), "competitor_prices", generated.name, generated.competitor,
                     random);
      }
      ASSERT_TRUE(update_competitor_summaries(store.value(), 0, 0).ok());
      ASSERT_TRUE(transaction.value().commit().ok());
    }
    expect_views_of_pure_functions(store.value(), cases, "written");
    // Prices changed in place and observations deleted: each day they were in is made anew (the
    // competitor's when the changes are noted, as an import notes those it makes).
    const auto last = store.value().query_integer("SELECT max(rowid) FROM competitor_prices");
    ASSERT_TRUE(last.ok());
    ASSERT_TRUE(store.value()
                    .execute("INSERT INTO temp.changed_prices SELECT sku_asin, platform, "
                             "observed_at FROM competitor_prices "
                             "WHERE observed_at % 7 = 0 OR observed_at % 11 = 1; "
                             "UPDATE competitor_prices SET price_paise = price_paise + 700 "
                             "WHERE observed_at % 7 = 0; "
                             "UPDATE our_prices SET price_paise = price_paise - 300 "
                             "WHERE observed_at % 5 = 0; "
                             "DELETE FROM competitor_prices WHERE observed_at % 11 = 1; "
                             "DELETE FROM our_prices WHERE observed_at % 13 = 2")
                    .ok());
    ASSERT_TRUE(update_competitor_summaries(store.value(), last.value(), 0).ok());
    expect_views_of_pure_functions(store.value(), cases, "changed");
  }
  // A store of the schema before the roll-up, its observations already there, is brought
  // forward with the same days.
  std::string days;
  {
    auto store = open_store(folder.path);
    ASSERT_TRUE(store.ok());
    days = test::rows(store.value(), "SELECT * FROM daily_prices ORDER BY 1, 2, 3, 4");
    ASSERT_TRUE(store.value().execute(test::BACK_TO_SCHEMA_3).ok());
  }
  auto migrated = open_store(folder.path);
  ASSERT_TRUE(migrated.ok()) << migrated.error().message;
  EXPECT_EQ(test::rows(migrated.value(), "SELECT * FROM daily_prices ORDER BY 1, 2, 3, 4"), days);
  EXPECT_GT(days.size(), 1000U);
}

}  // namespace
}  // namespace qmr::store
