// The three tools' texts: the names matched exactly, the search, the list tools, and the
// records' members and numbers as the writer writes them.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "base/json_writer.hpp"
#include "engine/history_source.hpp"
#include "mcp_test.hpp"

namespace qmr::mcp {
namespace {

using namespace tests;

TEST(ToolsCall, FallsBackToTheEmptyNameWithoutUsableParams) {
  const std::string no_name = R"({"error":"Tool '' not found"})";
  EXPECT_EQ(
      answer(R"({"id":1,"method":"tools/call"})"),
      success_line("1",
                   R"({"content":[{"text":"{\"error\":\"Tool '' not found\"}","type":"text"}]})"));
  for (const char* params :
       {"{}", "null", "[]", R"("market_jan_aushadhi")", "7", R"(["market_jan_aushadhi"])",
        R"({"name":7})", R"({"name":null})", R"({"name":["market_jan_aushadhi"]})",
        R"({"arguments":{"name":"market_jan_aushadhi"}})"}) {
    EXPECT_EQ(tool_text(params), no_name) << params;
  }
}

TEST(ToolsCall, MatchesToolNamesExactlyAndEscapesTheUnknownOne) {
  EXPECT_EQ(tool_text(R"({"name":"MARKET_JAN_AUSHADHI"})"),
            R"({"error":"Tool 'MARKET_JAN_AUSHADHI' not found"})");
  EXPECT_EQ(tool_text(R"({"name":"market_jan_aushadhi "})"),
            R"({"error":"Tool 'market_jan_aushadhi ' not found"})");
  EXPECT_EQ(tool_text(R"({"name":"a\"b\\c\n\u20b9"})"),
            "{\"error\":\"Tool 'a\\\"b\\\\c\\n\u20B9' not found\"}");
  // On the wire the tool text is escaped once more.
  EXPECT_EQ(
      answer(R"({"id":4,"method":"tools/call","params":{"name":"q\"t"}})"),
      R"({"id":4,"jsonrpc":"2.0","result":{"content":[{"text":"{\"error\":\"Tool 'q\\\"t' not found\"}","type":"text"}]}})");
}

TEST(ToolsCall, SearchWritesProductsWithSortedMembers) {
  const auto engine = fixed_time_engine();
  const std::string noise =
      R"({"competitor_price_inr":1149.0,"current_price_inr":1299.0,"last_checked_utc":"2026-12-07T13:21:01.5+00:00","original_price_inr":1999.0,"platform":"Amazon.in","price_delta_percent":-11.54,"sku_asin":"B09G9FPHY6","stock_status":"IN_STOCK","title":"Noise ColorFit Pulse Grand Smart Watch"})";
  const std::string boat =
      R"({"competitor_price_inr":1349.0,"current_price_inr":1399.0,"last_checked_utc":"2026-12-07T13:21:01.5+00:00","original_price_inr":1499.0,"platform":"Flipkart","price_delta_percent":-3.57,"sku_asin":"SKU-BOAT-AIRDOPES-141","stock_status":"LOW_STOCK","title":"boAt Airdopes 141 ANC TWS Earbuds"})";
  EXPECT_EQ(tool_text(R"({"name":"market_search_products","arguments":{"query":"noise"}})", engine),
            "[" + noise + "]");
  EXPECT_EQ(
      tool_text(
          R"({"name":"market_search_products","arguments":{"query":"FLIPKART","asin":"B09G9FPHY6"}})",
          engine),
      "[" + boat + "]");
  EXPECT_EQ(
      tool_text(R"({"name":"market_search_products","arguments":{"query":"iphone"}})", engine),
      "[]");
  EXPECT_EQ(
      tool_text(R"({"name":"market_search_products","arguments":{"query":"N\u006fISE"}})", engine),
      "[" + noise + "]");
  // A query longer than every product lowered a piece at a time, and found in none.
  std::string long_query = "\\n";
  for (int i = 0; i < 100'000; ++i) long_query += "\u0130";
  EXPECT_EQ(tool_text(R"({"name":"market_search_products","arguments":{"query":")" + long_query +
                          R"("}})",
                      engine),
            "[]");
}

TEST(ToolsCall, SearchTreatsAMissingOrNonStringQueryAsEmpty) {
  const auto engine = fixed_time_engine();
  const std::string everything =
      tool_text(R"({"name":"market_search_products","arguments":{"query":""}})", engine);
  ASSERT_EQ(json::Value::parse(everything).size(), 2u);
  for (const char* params : {R"({"name":"market_search_products"})",
                             R"({"name":"market_search_products","arguments":{}})",
                             R"({"name":"market_search_products","arguments":{"query":42}})",
                             R"({"name":"market_search_products","arguments":{"query":null}})",
                             R"({"name":"market_search_products","arguments":{"query":["noise"]}})",
                             R"({"name":"market_search_products","arguments":"noise"})",
                             R"({"name":"market_search_products","arguments":null})",
                             R"({"name":"market_search_products","query":"noise"})"}) {
    EXPECT_EQ(tool_text(params, engine), everything) << params;
  }
}

TEST(ToolsCall, SearchOfTheSeededStoreKeepsFloatKinds) {
  const std::string text = tool_text(R"({"name":"market_search_products"})");
  ASSERT_TRUE(text.starts_with(R"([{"competitor_price_inr":1149.0,"current_price_inr":1299.0,)"))
      << text;
  EXPECT_NE(text.find(R"("original_price_inr":1999.0,)"), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with(R"(,"title":"boAt Airdopes 141 ANC TWS Earbuds"}])")) << text;
  const auto products = json::Value::parse(text);
  ASSERT_EQ(products.size(), 2u);
  EXPECT_TRUE(products[0]["original_price_inr"].is_number_float());
  EXPECT_TRUE(products[1]["last_checked_utc"].get<std::string>().ends_with("+00:00"));
}

TEST(ToolsCall, ListToolsIgnoreTheirArguments) {
  for (const char* arguments : {"", R"(,"arguments":{})", R"(,"arguments":{"asin":"NOPE"})",
                                R"(,"arguments":{"asin":42,"query":"x"})", R"(,"arguments":7)"}) {
    EXPECT_EQ(tool_text(R"({"name":"market_review_defects")" + std::string(arguments) + "}"),
              SEEDED_REVIEWS_TEXT)
        << arguments;
    EXPECT_EQ(tool_text(R"({"name":"market_jan_aushadhi")" + std::string(arguments) + "}"),
              SEEDED_MEDICINES_TEXT)
        << arguments;
  }
}

TEST(ToolsCall, WritesNonFiniteFloatsAsNullAndEmptyListsAsEmptyArrays) {
  engine::Catalogue rows;
  rows.reviews.push_back(engine::ReviewIntel{"X", 0, std::nan(""), {}, 1.0});
  rows.medicines.push_back(engine::MedicineArbitrage{"M", std::numeric_limits<double>::infinity(),
                                                     "S", "G", 4200, -0.5});
  const auto engine = engine::MarketEngine::from_catalogue(std::move(rows));
  EXPECT_EQ(
      tool_text(R"({"name":"market_review_defects"})", engine),
      R"([{"fake_review_ratio_percent":null,"manufacturer_defect_score":1.0,"product_asin":"X","top_defects":[],"total_reviews_analyzed":0}])");
  EXPECT_EQ(
      tool_text(R"({"name":"market_jan_aushadhi"})", engine),
      R"([{"branded_medicine_name":"M","branded_price_inr":null,"jan_aushadhi_generic_name":"G","jan_aushadhi_price_inr":4200.0,"salt_composition":"S","savings_percent":-0.5}])");
  EXPECT_EQ(tool_text(R"({"name":"market_search_products"})", engine), "[]");
}

// A small catalogue's product texts are written once, a large one's per call: the same text.
TEST(ToolsCall, SearchWritesTheSameTextWhetherProductTextsAreKeptOrNot) {
  engine::Catalogue large, small;
  for (int i = 0; i < 5000; ++i) {
    large.products.push_back({std::string("P").append(std::to_string(i)),
                              i == 4321 ? "Tea \"Kettle\" \\ 1\nL" : "Lamp", "Flipkart", 10, 10,
                              9.0, -10.0, "IN_STOCK", "2026-12-07T13:21:01.5+00:00"});
  }
  small.products = {large.products[4321]};
  const std::string search = R"({"name":"market_search_products","arguments":{"query":"kettle"}})";
  const std::string text = tool_text(search, engine::MarketEngine::from_catalogue(small));
  EXPECT_NE(text.find(R"(Tea \"Kettle\" \\ 1\nL)"), std::string::npos) << text;
  EXPECT_EQ(tool_text(search, engine::MarketEngine::from_catalogue(large)), text);
}

// Up to the cap a search lists its matches in stored order, in one text; beyond it, the matches
// with the largest price gap (equal gaps in stored order, those without a competitor last), at
// most the cap, and a second text on how many more matched.
TEST(ToolsCall, SearchBeyondTheCapListsTheLargestGapsAndCountsTheRest) {
  for (const int count : {50, 51, 200, 5000}) {
    engine::Catalogue rows;
    for (int i = 0; i < count; ++i) {
      rows.products.push_back({std::string("P").append(std::to_string(i)),
                               i % 3 ? "Lamp" : "Kettle", "Flipkart", 10, 10,
                               i % 9 == 4 ? std::nullopt : std::optional(9.0),
                               i % 9 == 4 ? std::nullopt : std::optional((i % 14) * (i % 2 - 0.5)),
                               "IN_STOCK", "2026-12-07T13:21:01.5+00:00"});
    }
    const auto engine = engine::MarketEngine::from_catalogue(rows);
    for (const std::string query : {"", "kettle", "lamp"}) {
      const auto line = handle_line(
          R"({"id":1,"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":")" +
              query + R"("}}})",
          engine);
      const auto content = json::Value::parse(line.value_or("{}"))["result"]["content"];
      std::vector<std::size_t> found = engine->find_products(query);
      const std::size_t total = found.size(), more = total - std::min<std::size_t>(total, 50);
      const auto gap = [&](std::size_t i) {
        const auto& p = rows.products[i];
        return p.competitor_price_inr ? std::fabs(*p.price_delta_percent) : -1.0;
      };
      if (more != 0) {
        std::stable_sort(found.begin(), found.end(),
                         [&](auto a, auto b) { return gap(a) > gap(b); });
        found.resize(50);
      }
      std::vector<std::string> listed, wanted;
      for (const auto& record : json::Value::parse(content[0]["text"].get<std::string>())) {
        listed.push_back(record["sku_asin"]);
      }
      for (const std::size_t i : found) wanted.push_back(rows.products[i].sku_asin);
      EXPECT_EQ(listed, wanted) << count << " '" << query << "'";
      ASSERT_EQ(content.size(), more != 0 ? 2u : 1u) << count << " '" << query << "'";
      if (more != 0) {
        EXPECT_EQ(
            content[1],
            json::Value::parse(R"({"type":"text","text":")" + std::to_string(more) + " more of " +
                               std::to_string(total) +
                               " matching products not listed: these are the 50 with the largest "
                               "price gap. Narrow the query (a longer keyword, an ASIN, or a "
                               R"(platform such as Flipkart) to see the others."})"));
      }
    }
  }
}

// A store's medicines answer a brand or a salt: at most 50, largest saving first, then a text
// counting the rest; a query without a match gets that in words, and nothing else.
TEST(ToolsCall, StoreMedicinesAnswerAQueryCappedWithACountOfTheRest) {
  engine::Catalogue rows;
  rows.medicine_queries = true;
  for (int i = 0; i < 52; ++i) {
    rows.medicines.push_back({"Dolo " + std::to_string(i), 30.0,
                              i < 51 ? "Paracetamol (650mg)" : "Cetirizine (10mg)", "G", 10.0,
                              90.0 - i});
  }
  const auto engine = engine::MarketEngine::from_catalogue(rows);
  // The query, how many listed, the first and last brands (or the whole text), the next text.
  const struct {
    std::string query;
    std::size_t listed;
    std::string first, last, more;
  } cases[] = {{"", 50, "Dolo 0", "Dolo 49", "2 more of 52 matching medicines not listed: "},
               {"PARACETAMOL", 50, "Dolo 0", "Dolo 49", "1 more of 51 matching medicines not"},
               {"dolo 5", 3, "Dolo 5", "Dolo 51", ""},
               {"Hydroxyzine", 0, "no exact Jan Aushadhi match", "", ""}};
  for (const auto& [query, listed, first, last, more] : cases) {
    const auto content = json::Value::parse(
        handle_line(R"({"id":1,"method":"tools/call","params":{"name":"market_jan_aushadhi",)"
                    R"("arguments":{"query":")" +
                        query + R"("}}})",
                    engine)
            .value_or("{}"))["result"]["content"];
    ASSERT_EQ(content.size(), more.empty() ? 1u : 2u) << query;
    const std::string text = content[0]["text"];
    if (listed == 0) {
      EXPECT_EQ(text, first);
      continue;
    }
    const auto records = json::Value::parse(text);
    ASSERT_EQ(records.size(), listed) << query;
    EXPECT_EQ(records.front()["branded_medicine_name"], first) << query;
    EXPECT_EQ(records.back()["branded_medicine_name"], last) << query;
    if (!more.empty()) {
      EXPECT_TRUE(content[1]["text"].get<std::string>().starts_with(more)) << query;
    }
  }
}

// A store's price histories held in memory and read as of day 20,000 in India, noon: every read
// gives the histories of the products asked for; a failing store fails every read.
constexpr std::int64_t NOW =
    20'000 * engine::DAY_MICROS - engine::INDIA_OFFSET_MICROS + engine::DAY_MICROS / 2;
constexpr std::int64_t days_ago(int days) { return NOW - days * engine::DAY_MICROS; }

engine::HistorySourceHandle history_source(std::vector<engine::ProductHistory> stored,
                                           bool fails = false) {
  auto source = std::make_shared<engine::HistorySource>();
  const auto failure = [fails] {
    return fails ? std::optional(Error{"disk I/O error"}) : std::nullopt;
  };
  source->read = [=](const std::string& sku_asin, const std::optional<std::string>& platform,
                     std::int64_t now, int days) -> Result<std::vector<engine::HistoryView>> {
    if (auto error = failure()) return *error;
    std::vector<engine::HistoryView> found;
    for (const auto& history : stored) {
      if (history.sku_asin == sku_asin && (!platform || history.platform == *platform)) {
        found.push_back(engine::view_history(history, now, days));
      }
    }
    return found;
  };
  source->read_alerts_of = [=](const std::vector<engine::ProductOnPlatform>& products,
                               std::int64_t now,
                               std::int64_t since) -> Result<std::vector<engine::ProductAlerts>> {
    if (auto error = failure()) return *error;
    std::vector<engine::ProductAlerts> found;
    for (const auto& history : stored) {
      if (!std::ranges::count(products,
                              engine::ProductOnPlatform(history.sku_asin, history.platform))) {
        continue;
      }
      std::vector<engine::PriceAlert> alerts = engine::view_history(history, now, 1).alerts;
      std::erase_if(alerts, [since](const engine::PriceAlert& alert) { return alert.at < since; });
      if (!alerts.empty()) {
        found.push_back({history.sku_asin, history.title, history.platform, std::move(alerts)});
      }
    }
    return found;
  };
  source->now = [] { return NOW; };
  return source;
}

// Answers `line` with a handler over `engine` and `history`, and returns the response's result.
json::Value result_with(const engine::EngineHandle& engine,
                        const engine::HistorySourceHandle& history, const std::string& line) {
  std::string response;
  EXPECT_TRUE(LineHandler(engine, history).answer(line, response)) << line;
  return json::Value::parse(response)["result"];
}

// Each product a search lists with a store carries its latest alert of the last 30 days, or null;
// the member is left out when the store cannot be read, and without a store.
TEST(ToolsCall, SearchWithAStoreGivesEachProductItsLatestAlert) {
  const std::vector<engine::PricePoint> ours = {{days_ago(40), 100'000}};
  const struct {
    const char* what;
    std::vector<engine::PricePoint> competitor;  // against ours, ₹1000 since 40 days ago
    json::Value alert;                           // the record's "alert", absent when discarded
  } cases[] = {
      {"no competitor", {}, nullptr},
      {"a gap within the threshold", {{days_ago(2), 96'000}}, nullptr},
      {"a drop of 6%",
       {{days_ago(2), 96'000}, {days_ago(1), 94'000}},
       {{"kind", "DROP"},
        {"observed_at_utc", "2024-10-03T06:30:00+00:00"},
        {"competitor_price_inr", 940.0},
        {"our_price_inr", 1000.0},
        {"gap_percent", -6.0}}},
      {"a drop, then back above us",
       {{days_ago(3), 90'000}, {days_ago(0), 101'000}},
       {{"kind", "RISE"},
        {"observed_at_utc", "2024-10-04T06:30:00+00:00"},
        {"competitor_price_inr", 1010.0},
        {"our_price_inr", 1000.0},
        {"gap_percent", 1.0}}},
      {"a drop before the 30 days", {{days_ago(31), 90'000}}, nullptr},
      {"a new all-time low, level with us",
       {{days_ago(45), 120'000}, {days_ago(44), 110'000}, {days_ago(5), 100'000}},
       {{"kind", "ALL_TIME_LOW"},
        {"observed_at_utc", "2024-09-29T06:30:00+00:00"},
        {"competitor_price_inr", 1000.0},
        {"our_price_inr", 1000.0},
        {"gap_percent", 0.0}}},
  };
  engine::Catalogue rows;
  rows.products.push_back({"FK-1", "Bottle", "Flipkart", 1000, 1000, 1000, 0, "IN_STOCK", "T"});
  rows.products.push_back(
      {"FK-2", "Lamp", "Flipkart", 500, 500, std::nullopt, std::nullopt, "IN_STOCK", "T"});
  const auto engine = engine::MarketEngine::from_catalogue(rows);
  const std::string search =
      R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"market_search_products"}})";
  for (const auto& [what, competitor, alert] : cases) {
    for (const bool fails : {false, true}) {
      // FK-2 has no history at all: null unless the store fails.
      const auto history =
          history_source({{"FK-1", "Bottle", "Flipkart", ours, competitor, {}}}, fails);
      const auto records = json::Value::parse(
          result_with(engine, history, search)["content"][0]["text"].get<std::string>());
      ASSERT_EQ(records.size(), 2u) << what;
      EXPECT_EQ(records[0].contains("alert"), !fails) << what;
      if (fails) continue;
      EXPECT_EQ(records[0]["alert"], alert) << what;
      EXPECT_EQ(records[1]["alert"], nullptr) << what;
      // The rest of the record is the demo's form, members in order.
      EXPECT_TRUE(json::to_compact(records[0]).starts_with(R"({"alert":)")) << what;
      EXPECT_EQ(records[0].size(), 10u) << what;
    }
  }
  EXPECT_FALSE(
      json::Value::parse(tool_text(R"({"name":"market_search_products"})", engine))[0].contains(
          "alert"));
}

// The history tool's result carries the histories as data for the view where the revision has
// structured content, the same series and figures the text gives; a failed call carries none.
TEST(ToolsCall, HistoryResultCarriesItsSeriesAsDataFromTheRevisionsWithStructuredContent) {
  const auto history = history_source({{"FK-1",
                                        "Bottle",
                                        "Flipkart",
                                        {{days_ago(40), 100'000}},
                                        {{days_ago(10), 99'000}, {days_ago(1), 90'000}},
                                        {95'000, 120'000}}});
  const auto engine = engine::MarketEngine::from_catalogue({});
  const auto call = [&](const std::string& version, const std::string& arguments) {
    std::string response;
    LineHandler handler(engine, history);
    EXPECT_TRUE(handler.answer(
        R"({"id":0,"method":"initialize","params":{"protocolVersion":")" + version + R"("}})",
        response));
    response.clear();
    EXPECT_TRUE(handler.answer(
        R"({"id":1,"method":"tools/call","params":{"name":"market_price_history","arguments":)" +
            arguments + "}}",
        response));
    return json::Value::parse(response)["result"];
  };
  for (const Revision& revision : REVISIONS) {
    if (revision.era != Era::HANDSHAKE) continue;
    const std::string version(revision.name);
    const json::Value result = call(version, R"({"sku_asin":"FK-1","days":7})");
    ASSERT_EQ(result.contains("structuredContent"), revision.structured_content) << version;
    if (!revision.structured_content) continue;
    const json::Value& data = result["structuredContent"]["histories"];
    ASSERT_EQ(data.size(), 1u) << version;
    // Points of the last 7 days only; the summaries over all of them.
    EXPECT_EQ(data[0]["ours"]["points"], json::Value::array()) << version;
    EXPECT_EQ(data[0]["competitor"]["points"].size(), 1u) << version;
    EXPECT_EQ(data[0]["competitor"]["observations"], 2) << version;
    EXPECT_EQ(data[0]["floor_inr"], 950.0) << version;
    EXPECT_EQ(data[0]["ceiling_inr"], 1200.0) << version;
    // ₹900 is below the floor: hold there.
    EXPECT_EQ(data[0]["suggested_price_inr"], 950.0) << version;
    ASSERT_EQ(data[0]["alerts"].size(), 2u) << version;
    EXPECT_EQ(data[0]["alerts"][1]["kind"], "DROP") << version;
    EXPECT_FALSE(data[0]["alerts"][1].contains("dispatch")) << version;
    // Every window's line is the text's.
    const std::string text = result["content"][0]["text"];
    for (const auto& window : data[0]["competitor"]["windows"]) {
      EXPECT_NE(text.find("    " + window["text"].get<std::string>() + "\n"), std::string::npos)
          << version;
    }
    for (const char* failing : {R"({"sku_asin":"FK-9"})", R"({"sku_asin":"FK-1","days":0})"}) {
      const json::Value failed = call(version, failing);
      EXPECT_EQ(failed["isError"], true) << failing;
      EXPECT_FALSE(failed.contains("structuredContent")) << failing;
    }
  }
}

}  // namespace
}  // namespace qmr::mcp
