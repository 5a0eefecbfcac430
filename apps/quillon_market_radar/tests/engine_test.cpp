// The engine: record forms, time texts, the store's queries, the price-drop alert and the
// self-verification.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ctime>
#include <limits>
#include <random>
#include <thread>
#include <tuple>

#include "base/json_writer.hpp"
#include "base/text.hpp"
#include "engine/market_engine.hpp"
#include "engine/records.hpp"
#include "support/reference_forms.hpp"

namespace qmr::engine {
namespace {

std::vector<std::string> skus(const std::vector<TrackedProduct>& products) {
  std::vector<std::string> out;
  for (const auto& p : products) out.push_back(p.sku_asin);
  return out;
}

TrackedProduct product(std::string sku, std::string title, std::string platform = "Amazon.in") {
  return TrackedProduct{std::move(sku), std::move(title), std::move(platform),        1.0, 2.0, 3.0,
                        -4.5,           "IN_STOCK",       "2026-01-01T00:00:00+00:00"};
}

TEST(Records, CompactFormKeepsDeclarationOrder) {
  const auto engine = MarketEngine::create();
  EXPECT_EQ(
      encode_medicines_compact(engine->list_medicines()),
      R"json([{"branded_medicine_name":"Augmentin 625 Duo Tablet","branded_price_inr":204.0,"salt_composition":"Amoxycillin (500mg) + Clavulanic Acid (125mg)","jan_aushadhi_generic_name":"Amoxycillin & Potassium Clavulanate Tablets IP 625mg","jan_aushadhi_price_inr":58.0,"savings_percent":71.57}])json");
  const auto products = engine->list_products();
  const std::string compact = encode_products_compact(products);
  EXPECT_EQ(
      compact.rfind(
          R"json([{"sku_asin":"B09G9FPHY6","title":"Noise ColorFit Pulse Grand Smart Watch","platform":"Amazon.in","original_price_inr":1999.0,"current_price_inr":1299.0,"competitor_price_inr":1149.0,"price_delta_percent":-11.54,"stock_status":"IN_STOCK","last_checked_utc":")json",
          0),
      0u)
      << compact;
  EXPECT_NE(
      compact.find(
          R"json("price_delta_percent":-3.57,"stock_status":"LOW_STOCK","last_checked_utc":")json"),
      std::string::npos);
  EXPECT_EQ(encode_products_compact({}), "[]");
  EXPECT_EQ(encode_medicines_compact({}), "[]");
}

TEST(Records, EscapesAndNonFiniteInBothForms) {
  TrackedProduct odd = product("X\"1", "Line\nbreak \u20B9 \"quoted\"");
  odd.current_price_inr = std::nan("");
  odd.original_price_inr = 1299;
  const std::string compact = encode_products_compact({odd});
  EXPECT_NE(compact.find(R"json("sku_asin":"X\"1","title":"Line\nbreak ₹ \"quoted\"")json"),
            std::string::npos);
  EXPECT_NE(compact.find(R"json("original_price_inr":1299.0,"current_price_inr":null,)json"),
            std::string::npos);
  const std::string value = json::to_compact(to_json_value(odd));
  EXPECT_EQ(
      value,
      R"json({"competitor_price_inr":3.0,"current_price_inr":null,"last_checked_utc":"2026-01-01T00:00:00+00:00","original_price_inr":1299.0,"platform":"Amazon.in","price_delta_percent":-4.5,"sku_asin":"X\"1","stock_status":"IN_STOCK","title":"Line\nbreak ₹ \"quoted\""})json");
}

TEST(Records, ValueFormSortsMembers) {
  const auto engine = MarketEngine::create();
  EXPECT_EQ(
      json::to_compact(to_json_array(engine->list_review_intel())),
      R"json([{"fake_review_ratio_percent":28.4,"manufacturer_defect_score":8.6,"product_asin":"B09G9FPHY6","top_defects":["Display flickering after 30 days (14.2%)","Charging dock magnetic pin loose (9.8%)","Inaccurate step counter algorithm (7.1%)"],"total_reviews_analyzed":4200}])json");
  EXPECT_EQ(
      json::to_compact(to_json_array(engine->list_medicines())),
      R"json([{"branded_medicine_name":"Augmentin 625 Duo Tablet","branded_price_inr":204.0,"jan_aushadhi_generic_name":"Amoxycillin & Potassium Clavulanate Tablets IP 625mg","jan_aushadhi_price_inr":58.0,"salt_composition":"Amoxycillin (500mg) + Clavulanic Acid (125mg)","savings_percent":71.57}])json");
  EXPECT_EQ(
      json::to_compact(to_json_value(ReviewIntel{"A", 0, 1.5, {}, 2})),
      R"json({"fake_review_ratio_percent":1.5,"manufacturer_defect_score":2.0,"product_asin":"A","top_defects":[],"total_reviews_analyzed":0})json");
}

// The direct writers of the tool server must give exactly the generic value's text, for the
// seeded rows and for rows with escapes, non-finite floats, huge counts and empty lists.
TEST(Records, SortedWritersGiveTheValueFormsText) {
  const auto engine = MarketEngine::create();
  TrackedProduct odd = product("X\"1", "Line\nbreak \u20B9 \"quoted\" \x01");
  odd.current_price_inr = std::nan("");
  odd.competitor_price_inr = -std::numeric_limits<double>::infinity();
  odd.price_delta_percent = 1e300;
  std::vector<TrackedProduct> products = engine->list_products();
  products.push_back(odd);
  std::vector<ReviewIntel> reviews = engine->list_review_intel();
  reviews.push_back(ReviewIntel{"A\\", UINT64_MAX, 0.1, {}, 5e-324});
  reviews.push_back(ReviewIntel{"", 0, -0.0, {"", "\t"}, 2});
  std::vector<MedicineArbitrage> medicines = engine->list_medicines();
  medicines.push_back(MedicineArbitrage{"M\u00e9", 1e21, "S", "G", 4200, -0.5});

  const auto sorted_text = [](const auto& rows) {
    std::string out = "prefix";
    write_sorted_array(rows, out);
    return out;
  };
  EXPECT_EQ(sorted_text(products), "prefix" + json::to_compact(to_json_array(products)));
  EXPECT_EQ(sorted_text(reviews), "prefix" + json::to_compact(to_json_array(reviews)));
  EXPECT_EQ(sorted_text(medicines), "prefix" + json::to_compact(to_json_array(medicines)));
  EXPECT_EQ(sorted_text(std::vector<ReviewIntel>{}), "prefix[]");
}

TEST(Records, TimestampsUseOffsetAndFewestExactFractionDigits) {
  EXPECT_EQ(format_rfc3339_utc(0, 0), "1970-01-01T00:00:00+00:00");
  EXPECT_EQ(format_rfc3339_utc(1796649661, 123456700), "2026-12-07T13:21:01.123456700+00:00");
  EXPECT_EQ(format_rfc3339_utc(1796649661, 123000000), "2026-12-07T13:21:01.123+00:00");
  EXPECT_EQ(format_rfc3339_utc(1796649661, 120000), "2026-12-07T13:21:01.000120+00:00");
  EXPECT_EQ(format_rfc3339_utc(1796649661, 1), "2026-12-07T13:21:01.000000001+00:00");
  EXPECT_EQ(format_rfc3339_utc(951782400, 500000000), "2000-02-29T00:00:00.500+00:00");
  EXPECT_EQ(format_rfc3339_utc(253402300800, 0), "10000-01-01T00:00:00+00:00");
  EXPECT_EQ(format_rfc3339_utc_micros(-1), "1969-12-31T23:59:59.999999+00:00");
  EXPECT_EQ(format_rfc3339_utc_micros(1796649661123000), "2026-12-07T13:21:01.123+00:00");
  const std::string now = now_rfc3339_utc();
  EXPECT_EQ(now.substr(now.size() - 6), "+00:00");
  EXPECT_EQ(now[10], 'T');
}

// The calendar arithmetic gives the C library's broken-down UTC time, second for second, from the
// epoch to the year 9999 (leap years, century rules and the last second of a day included).
TEST(Records, TimestampsAgreeWithTheCLibrary) {
  std::mt19937_64 random(7);
  std::uniform_int_distribution<std::int64_t> any_second(0, 253402300799);  // 9999-12-31T23:59:59
  std::vector<std::int64_t> samples = {0,         86399,      86400,       951782399,
                                       951868800, 4107542400, 253402300799};
  for (int i = 0; i < 20000; ++i) samples.push_back(any_second(random));
  for (const std::int64_t second : samples) {
    const auto seconds = static_cast<std::time_t>(second);
    std::tm utc{};
#ifdef _WIN32
    // Windows' C library stops at the end of the year 3000.
    if (second > 32535215999) continue;
    ASSERT_EQ(gmtime_s(&utc, &seconds), 0) << second;
#else
    gmtime_r(&seconds, &utc);
#endif
    char expected[64];
    const std::size_t length = std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%S", &utc);
    ASSERT_EQ(format_rfc3339_utc(second, 0), std::string(expected, length) + "+00:00") << second;
  }
}

TEST(MarketEngine, SeedCatalogueIsExact) {
  const auto engine = MarketEngine::create();
  const auto products = engine->list_products();
  ASSERT_EQ(products.size(), 2u);
  EXPECT_EQ(skus(products), (std::vector<std::string>{"B09G9FPHY6", "SKU-BOAT-AIRDOPES-141"}));
  EXPECT_EQ(products[1].title, "boAt Airdopes 141 ANC TWS Earbuds");
  EXPECT_EQ(products[1].stock_status, "LOW_STOCK");
  EXPECT_EQ(products[0].competitor_price_inr, 1149.0);
  EXPECT_LE(products[0].last_checked_utc, products[1].last_checked_utc);
  EXPECT_EQ(engine->list_review_intel().size(), 1u);
  EXPECT_EQ(engine->list_medicines().size(), 1u);
  const auto posts = engine->list_social_posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].author_handle, "VarnelLabs");
  EXPECT_TRUE(posts[0].text.ends_with("with Quillon Tidewick"));
  EXPECT_EQ(posts[0].score, 0.94);
}

TEST(MarketEngine, CopiesDoNotReachTheStore) {
  const auto engine = MarketEngine::create();
  auto products = engine->list_products();
  products[0].title = "changed";
  products.clear();
  EXPECT_EQ(engine->list_products()[0].title, "Noise ColorFit Pulse Grand Smart Watch");
}

// The seeded store's documented queries, and a store whose fields hold Unicode capitals: a query
// matches the product whose first matching field contains it, both lower-cased in full.
TEST(SearchProducts, MatchesAFieldLowerCasedInFull) {
  const auto seeded = MarketEngine::create();
  const auto unicode = MarketEngine::from_catalogue(Catalogue{
      {product("A-1", "\u00C7AY \u0130STANBUL"), product("A-2", "\u039F\u0394\u039F\u03A3 map"),
       product("I-3", "plain", "Some Market")},
      {},
      {},
      {},
      {}});
  using Skus = std::vector<std::string>;
  const Skus noise{"B09G9FPHY6"}, boat{"SKU-BOAT-AIRDOPES-141"},
      both{"B09G9FPHY6", "SKU-BOAT-AIRDOPES-141"};
  const struct {
    const MarketEngine& engine;
    std::vector<const char*> queries;
    Skus found;
  } cases[] = {
      {*seeded, {"Noise", "noise", "COLORFIT", "b09g9", "amazon", "NoIsE"}, noise},
      {*seeded, {"flipkart", "FLIPKART", "earbud"}, boat},
      {*seeded, {"a", "", " "}, both},
      {*seeded, {"iphone", "   ", "noise watch"}, {}},
      {*unicode, {"\u00E7ay i\u0307stanbul", "\u0130STANBUL"}, {"A-1"}},
      {*unicode, {"\u03BF\u03B4\u03BF\u03C2 ", "\u039F\u0394\u039F\u03A3"}, {"A-2"}},
      {*unicode, {"i-3", "some market"}, {"I-3"}},
  };
  for (const auto& [engine, queries, found] : cases) {
    for (const char* query : queries)
      EXPECT_EQ(skus(engine.search_products(query)), found) << '"' << query << '"';
  }
}

TEST(SearchProducts, PositionsNameTheSameProductsAsTheCopies) {
  auto engine = MarketEngine::from_catalogue(
      Catalogue{{product("A-1", "\u00C7AY \u0130STANBUL"), product("B-2", "plain", "Market"),
                 product("A-3", "\u00E7ay cup", "Market")},
                {},
                {},
                {},
                {}});
  const auto stored = engine->list_products();
  for (const char* query : {"", "a-", "\u00C7ay", "market", "MARKET", "i\u0307", "none", "-"}) {
    std::vector<TrackedProduct> found;
    for (const std::size_t position : engine->find_products(query)) {
      ASSERT_LT(position, stored.size()) << query;
      found.push_back(stored[position]);
    }
    EXPECT_EQ(skus(found), skus(engine->search_products(query))) << query;
  }
  EXPECT_EQ(engine->find_products("market"), (std::vector<std::size_t>{1, 2}));
}

// Every order and direction, with and without a search, at the edges of the page, over products
// with ties, both signs of delta and no competitor every tenth: the page is the slice of a plain
// sort of the matches (known keys first, then the key, then the stored position), the total all.
TEST(PageProducts, IsTheSliceOfThePlainlySortedMatches) {
  Catalogue rows;
  for (std::size_t i = 0; i < 157; ++i) {
    const auto n = static_cast<double>(i);
    rows.products.push_back(
        {"SKU-" + std::to_string(1000 + i * 7919 % 157),
         (i % 3 == 0 ? "Boat Airdopes " : "noise watch ") + std::to_string(i % 5),
         i % 2 == 0 ? "Amazon.in" : "Flipkart", 100 - std::fmod(n, 9), std::fmod(n * 13, 50),
         i % 10 == 0 ? std::nullopt : std::optional(std::fmod(n * 3, 17) + 1),
         i % 10 == 0 ? std::nullopt : std::optional((std::fmod(n * 37, 41) - 20) / 2),
         i % 4 == 0 ? "LOW_STOCK" : "IN_STOCK", "2026-01-0" + std::to_string(1 + i % 9)});
  }
  const auto engine = MarketEngine::from_catalogue(rows);
  using Key = std::tuple<bool, double, std::string>;  // (no key, number, text)
  // Each order's key, in ProductOrder's order: its text (the first three lower-cased) or number.
  const auto key_of = [](std::size_t o, const TrackedProduct& p) -> Key {
    const std::string* texts[] = {
        nullptr, &p.sku_asin, &p.title,        &p.platform,        nullptr, nullptr, nullptr,
        nullptr, nullptr,     &p.stock_status, &p.last_checked_utc};
    const double numbers[] = {*p.original_price_inr, *p.current_price_inr,
                              p.competitor_price_inr.value_or(0), p.price_delta_percent.value_or(0),
                              std::fabs(p.price_delta_percent.value_or(0))};
    const bool none = o >= 6 && o <= 8 && !p.competitor_price_inr;
    if (texts[o] == nullptr) return {none, o == 0 || none ? 0 : numbers[o - 4], ""};
    return {false, 0, o <= 3 ? text::to_lower(*texts[o]) : *texts[o]};
  };
  const std::size_t windows[][2] = {{0, 10}, {0, 0}, {5, 50}, {150, 50}, {157, 1}, {9999, 9}};
  for (std::size_t o = 0; o < PRODUCT_ORDER_COUNT; ++o) {
    for (const bool down : {false, true}) {
      for (const std::string query : {"", "BOAT", "flipkart", "sku-10", "nothing"}) {
        std::vector<std::size_t> all;
        for (std::size_t i = 0; i < rows.products.size(); ++i) {
          const auto& p = rows.products[i];
          if (text::to_lower(p.title + '\n' + p.sku_asin + '\n' + p.platform)
                  .find(text::to_lower(query)) != std::string::npos) {
            all.push_back(i);
          }
        }
        std::stable_sort(all.begin(), all.end(), [&](std::size_t a, std::size_t b) {
          if (o == 0) return down ? b < a : a < b;
          auto [x_none, x_number, x_text] = key_of(o, rows.products[a]);
          auto [y_none, y_number, y_text] = key_of(o, rows.products[b]);
          if (x_none != y_none) return y_none;
          return down ? std::tie(y_number, y_text) < std::tie(x_number, x_text)
                      : std::tie(x_number, x_text) < std::tie(y_number, y_text);
        });
        for (const auto& [offset, limit] : windows) {
          const auto page =
              engine->page_products({query, static_cast<ProductOrder>(o), down, offset, limit});
          const auto first =
              all.begin() + static_cast<std::ptrdiff_t>(std::min(offset, all.size()));
          const auto last = first + std::min<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(limit),
                                                             all.end() - first);
          EXPECT_EQ(page.total, all.size());
          EXPECT_EQ(page.positions, std::vector<std::size_t>(first, last))
              << o << ' ' << down << " '" << query << "' " << offset << ' ' << limit;
          // The capped lists' shortcut to the largest gaps gives the same first page.
          if (static_cast<ProductOrder>(o) == ProductOrder::PRICE_GAP && down && offset == 0) {
            EXPECT_EQ(engine->largest_price_gaps(engine->find_products(query), limit),
                      page.positions)
                << '\'' << query << "' " << limit;
          }
        }
      }
    }
  }
  EXPECT_EQ(engine->products_at({3, 1})[1].sku_asin, rows.products[1].sku_asin);
}

TEST(PriceAlert, SeededAlertIsExact) {
  const auto engine = MarketEngine::create();
  const auto alert = engine->dispatch_price_alert("http://localhost:8080/reprice");
  ASSERT_TRUE(alert.ok());
  EXPECT_EQ(json::to_compact(alert.value()),
            "{\"asin\":\"B09G9FPHY6\",\"latency_micros\":19,\"payload_message\":\"\U0001F6D2 "
            "*COMPETITOR PRICE DROP ALERT*\\n\\n*Product:* Noise ColorFit Pulse Grand Smart "
            "Watch\\n*ASIN:* B09G9FPHY6\\n*Competitor Price:* \u20B91149.00\\n*Our Current "
            "Price:* \u20B91299.00\\n*Difference:* -11.54%\\n*Action:* Auto-reprice "
            "recommended.\",\"status\":\"PRICE_ALERT_DISPATCHED\",\"webhook_target\":\"http://"
            "localhost:8080/reprice\"}");
  const auto empty_target = engine->dispatch_price_alert("");
  ASSERT_TRUE(empty_target.ok());
  EXPECT_EQ(empty_target.value()["webhook_target"], "");
}

TEST(PriceAlert, UsesTheFirstExactIdentifierAndReportsAMissingOne) {
  auto first = product("B09G9FPHY6", "First");
  first.price_delta_percent = -3.57;
  first.competitor_price_inr = 0.125;  // an exact tie rounds to the even digit
  first.current_price_inr = 2.675;     // stored as 2.67499999..., so it rounds down
  const auto engine = MarketEngine::from_catalogue(Catalogue{
      {product("b09g9fphy6", "Lower"), first, product("B09G9FPHY6", "Second")}, {}, {}, {}, {}});
  const auto alert = engine->dispatch_price_alert("x");
  ASSERT_TRUE(alert.ok());
  const auto message = alert.value()["payload_message"].get<std::string>();
  EXPECT_NE(message.find("*Product:* First\n"), std::string::npos);
  EXPECT_NE(message.find("*Competitor Price:* \u20B90.12\n*Our Current Price:* "
                         "\u20B92.67\n*Difference:* -3.57%\n"),
            std::string::npos)
      << message;

  const auto missing = MarketEngine::from_catalogue(
      Catalogue{{product("b09g9fphy6", "Lower case")}, {}, {}, {}, {}});
  const auto error = missing->dispatch_price_alert("x");
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(error.error().message, "Product ASIN 'B09G9FPHY6' not found");
}

TEST(Verification, SummaryOfTheSeedCatalogue) {
  const auto engine = MarketEngine::create();
  const auto summary = engine->run_verification();
  ASSERT_TRUE(summary.ok());
  const auto& value = summary.value();
  EXPECT_EQ(value.size(), 5u);
  EXPECT_EQ(value["suite"], "Quillon Market & Retail Intelligence (Suite 3)");
  EXPECT_TRUE(value["services_verified"].is_number_unsigned());
  EXPECT_EQ(value["services_verified"], 10u);
  EXPECT_EQ(value["all_passed"], true);
  EXPECT_TRUE(value["total_latency_micros"].is_number_unsigned());
  EXPECT_EQ(json::to_compact(value["ram_consumption_mb"]), "11.2");
}

TEST(Verification, ReturnsTheAlertErrorAndStopsOnAFailedCheck) {
  auto rows = MarketEngine::seed_catalogue();
  rows.products[0].sku_asin = "OTHER";
  rows.products[0].title = "Noise watch";
  const auto summary = MarketEngine::from_catalogue(rows)->run_verification();
  ASSERT_FALSE(summary.ok());
  EXPECT_EQ(summary.error().message, "Product ASIN 'B09G9FPHY6' not found");

  auto no_reviews = MarketEngine::seed_catalogue();
  no_reviews.reviews.clear();
  const auto engine = MarketEngine::from_catalogue(no_reviews);
  EXPECT_EXIT((void)engine->run_verification(), testing::ExitedWithCode(ABNORMAL_EXIT_STATUS),
              "left: 0\n right: 1");
  auto no_match = MarketEngine::seed_catalogue();
  no_match.products.erase(no_match.products.begin());
  const auto unmatched = MarketEngine::from_catalogue(no_match);
  EXPECT_EXIT((void)unmatched->run_verification(), testing::ExitedWithCode(ABNORMAL_EXIT_STATUS),
              "assertion failed: !prods.is_empty\\(\\)");
}

TEST(MarketEngine, ConcurrentReadersSeeTheSameData) {
  const auto engine = MarketEngine::create();
  const std::string expected = encode_products_compact(engine->list_products());
  std::vector<std::thread> readers;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        if (encode_products_compact(engine->search_products("")) != expected) ++mismatches;
        if (!engine->dispatch_price_alert("x").ok()) ++mismatches;
      }
    });
  }
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace qmr::engine
