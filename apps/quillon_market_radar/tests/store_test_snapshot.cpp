// The snapshot the store gives the engine: each listing as a record with the latest competitor
// price for its identifier and platform.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "engine/market_engine.hpp"
#include "store/import.hpp"
#include "store/snapshot.hpp"
#include "store_test_support.hpp"
#include "support/reference_forms.hpp"

namespace qmr::store {
namespace {

using test::TempFolder;

constexpr std::int64_t IMPORTED = 1'765'324'800'000'000;  // 2025-12-10T00:00:00Z

TEST(Snapshot, EachListingWithItsLatestCompetitorPriceAsARecord) {
  TempFolder folder;
  const auto listings = folder.write(
      "listings.csv",
      "Seller SKU ID,Product Title,MRP,Your Selling Price,Your Stock Count,Listing Status\n"
      "FK-1,Bottle,\"1,999\",1299,40,ACTIVE\n"
      "FK-2,Kurta,0,799,0,ACTIVE\n"
      "FK-3,Lamp,500,,5,ACTIVE\n"
      "FK-4,Mug,,1499.50,6,ACTIVE\n"
      "FK-5,Pen,12.34,12.34,,ACTIVE\n");
  const auto prices = folder.write("prices.csv",
                                   "sku_asin,platform,competitor_price_inr,observed_at\n"
                                   "FK-1,Flipkart,1000,2025-11-01\n"
                                   "FK-1,Flipkart,1149,2025-12-01\n"
                                   "FK-1,Amazon.in,1,2026-01-01\n"
                                   "FK-3,Flipkart,450,2025-12-01\n"
                                   "FK-4,Flipkart,1500,2026-01-05T00:00:00Z\n");
  auto store = open_store(folder.path / "data");
  ASSERT_TRUE(store.ok()) << store.error().message;
  ImportOptions options;
  options.now = IMPORTED;
  ASSERT_TRUE(import_files(store.value(), folder.path, {listings, prices}, options).ok());

  auto catalogue = load_catalogue(store.value());
  ASSERT_TRUE(catalogue.ok()) << catalogue.error().message;
  // Original (MRP, else ours), ours, the competitor's, delta, stock, newest figure's time.
  const std::string expected[] = {
      // The latest of two observations on the platform; the delta truncated (-11.547).
      R"(1999.0,1299.0,1149.0,-11.54,"IN_STOCK","2025-12-10T00:00:00+00:00")",
      // An MRP of 0 is unknown; no competitor's price.
      R"(799.0,799.0,null,null,"OUT_OF_STOCK","2025-12-10T00:00:00+00:00")",
      // No price of ours: no delta.
      R"(500.0,null,450.0,null,"LOW_STOCK","2025-12-10T00:00:00+00:00")",
      // An observation newer than the listing's import gives the time.
      R"(1499.5,1499.5,1500.0,0.03,"IN_STOCK","2026-01-05T00:00:00+00:00")",
      R"(12.34,12.34,null,null,"UNKNOWN","2025-12-10T00:00:00+00:00")",
  };
  const auto& products = catalogue.value().products;
  ASSERT_EQ(products.size(), std::size(expected));
  for (std::size_t i = 0; i < products.size(); ++i) {
    const std::string record = engine::encode_products_compact({products[i]});
    const auto first = record.find("\"original_price_inr\":");
    std::string figures;
    for (const char* key : {"original_price_inr", "current_price_inr", "competitor_price_inr",
                            "price_delta_percent", "stock_status", "last_checked_utc"}) {
      const std::string marker = std::string(1, '"').append(key).append("\":");
      const auto at = record.find(marker, first) + marker.size();
      if (!figures.empty()) figures += ',';
      figures += record.substr(at, record.find_first_of(",}", at) - at);
    }
    EXPECT_EQ(figures, expected[i]) << record;
    EXPECT_EQ(products[i].sku_asin, "FK-" + std::to_string(i + 1));
  }
  EXPECT_EQ(engine::price_gap(products[0]), 11.54);
  EXPECT_EQ(engine::price_gap(products[1]), std::nullopt);
}

TEST(Snapshot, SearchFindsTheSellerSkuBesideTheRecord) {
  TempFolder folder;
  auto store = open_store(folder.path / "data");
  ASSERT_TRUE(store.ok());
  auto report = import_files(store.value(), folder.path,
                             {folder.write("amazon.txt", test::amazon_report())}, {});
  ASSERT_TRUE(report.ok() && report.value().all_imported());
  auto catalogue = load_catalogue(store.value());
  ASSERT_TRUE(catalogue.ok());
  const auto engine = engine::MarketEngine::from_catalogue(std::move(catalogue.value()));
  // BTL-001 is the bottle's seller SKU, which its record does not carry; "kurta" its title.
  for (const auto& [query, identifier] :
       {std::pair{"btl-001", "B0TESTAAA1"}, std::pair{"KRT-7", "B0TESTBBB2"},
        std::pair{"kurta", "B0TESTBBB2"}}) {
    const auto found = engine->search_products(query);
    ASSERT_EQ(found.size(), 1u) << query;
    EXPECT_EQ(found[0].sku_asin, identifier) << query;
  }
}

// A command that answers one search reads only the listings it finds, and finds those the whole
// catalogue's search does, in its order: text lowered by Unicode's full mapping whether or not it
// is ASCII (the Kelvin sign lowers to "k", "İ" to "i" and a combining dot, a final "Σ" to "ς"),
// and its lamp and the desk lamp both hold "k lamp".
TEST(Snapshot, ASearchReadsWhatTheWholeCatalogueFinds) {
  TempFolder folder;
  auto store = open_store(folder.path / "data");
  ASSERT_TRUE(store.ok());
  const auto flipkart = folder.write(
      "flipkart.csv",
      "Seller SKU ID,Product Title,MRP,Your Selling Price,Your Stock Count,Listing Status\n"
      "FK-K,\u212A Lamp,500,450,3,ACTIVE\nFK-I,\u0130stanbul Rug,900,850,9,ACTIVE\n"
      "FK-S,\u039F\u0394\u039F\u03A3 Mug,99,99,0,ACTIVE\nFK-A,Kettle,1200,1100,20,ACTIVE\n");
  auto report = import_files(store.value(), folder.path,
                             {folder.write("amazon.txt", test::amazon_report()), flipkart}, {});
  ASSERT_TRUE(report.ok() && report.value().all_imported());
  auto whole = load_catalogue(store.value());
  ASSERT_TRUE(whole.ok());
  const auto engine = engine::MarketEngine::from_catalogue(std::move(whole.value()));
  const std::pair<const char*, std::size_t> cases[] = {{"", 7},
                                                       {"K LAMP", 2},
                                                       {"k", 6},
                                                       {"btl-001", 1},
                                                       {"flipKART", 4},
                                                       {"\u0130", 1},
                                                       {"i\u0307stan", 1},
                                                       {"\u03BF\u03B4\u03BF\u03C2", 1},
                                                       {"\u03BF\u03B4\u03BF\u03C3", 0},
                                                       {"bottle kurta", 0}};
  for (const auto& [query, count] : cases) {
    auto found = load_search(store.value(), query);
    ASSERT_TRUE(found.ok()) << found.error().message;
    const auto expected = engine->search_products(query);
    EXPECT_EQ(found.value().products.size(), count) << query;
    EXPECT_EQ(engine::encode_products_compact(found.value().products),
              engine::encode_products_compact(expected))
        << query;
  }
}

// The competitor's latest price kept on each listing is the one a join of every observation
// finds (the newest time; a time observed again, the later import's price), whatever order the
// files bring them in: older observations after newer ones, listings before, between and after
// their prices, and a store brought forward from the schema without it.
TEST(Snapshot, TheLatestPriceKeptIsTheNewestObservation) {
  const std::string kept =
      "SELECT platform, sku_asin, competitor_paise, competitor_at FROM listings ORDER BY rowid";
  const std::string joined =
      "SELECT l.platform, l.sku_asin, c.price_paise, c.observed_at FROM listings AS l "
      "LEFT JOIN competitor_prices AS c ON c.sku_asin = l.sku_asin AND c.platform = l.platform "
      "AND c.observed_at = (SELECT max(observed_at) FROM competitor_prices AS m "
      "WHERE m.sku_asin = l.sku_asin AND m.platform = l.platform) ORDER BY l.rowid";
  // The files of each case in order: L the listings, P a file of observations.
  const std::pair<const char*, std::string_view> cases[] = {
      {"listings first", "LPPPP"}, {"prices first", "PPPPL"}, {"listings between", "PPLPPLP"}};
  std::mt19937 random(11);
  for (const auto& [name, files] : cases) {
    TempFolder folder;
    auto store = open_store(folder.path / "data");
    ASSERT_TRUE(store.ok());
    for (std::size_t file = 0; file < files.size(); ++file) {
      std::string text;
      if (files[file] == 'L') {
        text =
            "Seller SKU ID,Product Title,MRP,Your Selling Price,Your Stock Count,Listing Status\n";
        for (int i = 0; i < 8; ++i) {
          text +=
              "FK-" + std::to_string(i) + ",Item,999," + std::to_string(500 + file) + ",3,ACTIVE\n";
        }
      } else {
        text = "sku_asin,platform,competitor_price_inr,observed_at\n";
        std::set<std::string> observed;
        for (int row = 0; row < 16; ++row) {
          // Few times, so that a later file observes a time again.
          const std::string key = "FK-" + std::to_string(random() % 8) +
                                  (random() % 4 == 0 ? ",Amazon.in," : ",Flipkart,");
          const std::string at = "2025-12-0" + std::to_string(1 + random() % 3) + "T0" +
                                 std::to_string(random() % 3) + ":00:00Z";
          if (!observed.insert(key + at).second) continue;
          text += key + std::to_string(100 + random() % 900) + "," + at + "\n";
        }
      }
      const auto path = folder.write("file-" + std::to_string(file) + ".csv", text);
      auto report = import_files(store.value(), folder.path, {path}, {});
      ASSERT_TRUE(report.ok() && report.value().all_imported()) << name << ", file " << file;
      EXPECT_EQ(test::rows(store.value(), kept), test::rows(store.value(), joined))
          << name << ", file " << file;
    }
    EXPECT_EQ(test::rows(store.value(),
                         "SELECT count(*) > 4 FROM listings WHERE competitor_paise IS NOT NULL"),
              "1\n")
        << name;
    ASSERT_TRUE(store.value().execute(test::BACK_TO_SCHEMA_3).ok());
    const std::string before = test::rows(store.value(), joined);
    auto migrated = open_store(folder.path / "data");
    ASSERT_TRUE(migrated.ok()) << migrated.error().message;
    EXPECT_EQ(test::rows(migrated.value(), kept), before) << name;
    // Schema 4 kept the competitor's days by triggers, which schema 5 drops: one left behind
    // would stop the next file.
    std::string to_schema_4 =
        "ALTER TABLE listings DROP COLUMN competitor_paise; ALTER TABLE "
        "listings DROP COLUMN competitor_at; PRAGMA user_version = 4;";
    for (const auto& [verb, event] :
         {std::pair{"add", "INSERT"}, {"update", "UPDATE"}, {"delete", "DELETE"}}) {
      to_schema_4 += std::string("CREATE TRIGGER competitor_prices_") + verb + "_day AFTER " +
                     event + " ON competitor_prices BEGIN SELECT RAISE(ABORT, 'schema 4'); END;";
    }
    ASSERT_TRUE(migrated.value().execute(to_schema_4).ok());
    auto from_4 = open_store(folder.path / "data");
    ASSERT_TRUE(from_4.ok()) << from_4.error().message;
    const auto more = folder.write("more.csv",
                                   "sku_asin,platform,competitor_price_inr\nFK-1,"
                                   "Flipkart,321\n");
    auto report = import_files(from_4.value(), folder.path, {more}, {});
    ASSERT_TRUE(report.ok() && report.value().all_imported()) << name;
    EXPECT_EQ(test::rows(from_4.value(), kept), test::rows(from_4.value(), joined)) << name;
  }
}

}  // namespace
}  // namespace qmr::store
