// The dashboard without sockets: the route table and its neighbours, the exact bodies, the page,
// the request line taken from a read's bytes, the framing of responses, the fixed responses, the
// tool server's path (its checks in order, its framing, its reads) and the schedule of the
// closing looks.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "base/text.hpp"
#include "engine/market_engine.hpp"
#include "engine/records.hpp"
#include "ui/drain_schedule.hpp"
#include "ui/history_route.hpp"
#include "ui/page.hpp"
#include "ui/products_route.hpp"
#include "ui/request.hpp"
#include "ui/tool_path.hpp"

namespace qmr::ui {
namespace {

using engine::Catalogue;
using engine::MarketEngine;
using engine::MedicineArbitrage;
using engine::TrackedProduct;

constexpr std::string_view STATUS_BODY =
    R"({"app":"Quillon Market & Retail Intelligence","defects_indexed":1,"port":7577,)"
    R"("ram_mb":11.2,"status":"ACTIVE_MARKET_SENTINEL","tracked_products":2,"version":"1.0.0"})";

constexpr std::string_view SEED_REPRICE_BODY =
    R"({"asin":"B09G9FPHY6","latency_micros":19,"payload_message":"🛒 *COMPETITOR PRICE DROP )"
    R"(ALERT*\n\n*Product:* Noise ColorFit Pulse Grand Smart Watch\n*ASIN:* B09G9FPHY6\n)"
    R"(*Competitor Price:* ₹1149.00\n*Our Current Price:* ₹1299.00\n*Difference:* -11.54%\n)"
    R"(*Action:* Auto-reprice recommended.","status":"PRICE_ALERT_DISPATCHED",)"
    R"("webhook_target":"http://localhost:8080/reprice"})";

constexpr std::string_view SEED_MEDICINES_BODY =
    R"([{"branded_medicine_name":"Augmentin 625 Duo Tablet","branded_price_inr":204.0,)"
    R"~("salt_composition":"Amoxycillin (500mg) + Clavulanic Acid (125mg)",)~"
    R"("jan_aushadhi_generic_name":"Amoxycillin & Potassium Clavulanate Tablets IP 625mg",)"
    R"("jan_aushadhi_price_inr":58.0,"savings_percent":71.57}])";

constexpr std::string_view HEADERS_AFTER_LENGTH =
    "\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n";

TrackedProduct product(std::string sku, double current, double competitor, double delta) {
  return TrackedProduct{std::move(sku), "Watch \"Pro\"", "Amazon.in",
                        1999.0,         current,         competitor,
                        delta,          "IN_STOCK",      "2026-01-02T03:04:05.5+00:00"};
}

engine::EngineHandle seeded() { return MarketEngine::create(); }
engine::EngineHandle empty() { return MarketEngine::from_catalogue({}); }

// --- route_request -------------------------------------------------------------------------

TEST(RouteRequest, AnswersEachRouteWhateverFollowsARepricesPathAndNotFoundForNeighbours) {
  const std::string page(DASHBOARD_PAGE);
  const std::string json = "application/json";
  struct Case {
    std::string method;
    std::string path;
    bool seeded;
    DashboardResponse response;
  };
  const DashboardResponse not_found{"404 NOT FOUND", "text/plain", "Not Found"};
  const DashboardResponse reprice{"200 OK", json, std::string(SEED_REPRICE_BODY)};
  const Case cases[] = {
      {"GET", "/", true, {"200 OK", "text/html; charset=utf-8", page}},
      // The status object is fixed, whatever the store holds.
      {"GET", "/api/status", true, {"200 OK", json, std::string(STATUS_BODY)}},
      {"GET", "/api/status", false, {"200 OK", json, std::string(STATUS_BODY)}},
      // Empty collections give empty arrays.
      {"GET", "/api/products", false, {"200 OK", json, "[]"}},
      {"GET", "/api/medicines", false, {"200 OK", json, "[]"}},
      // Every POST path that begins with the reprice route is a reprice.
      {"POST", "/api/reprice", true, reprice},
      {"POST", "/api/reprice?x=1", true, reprice},
      {"POST", "/api/repriced", true, reprice},
      {"POST", "/api/reprice/", true, reprice},
      {"POST", "/api/reprice/../status", true, reprice},
      // The neighbours of every route.
      {"GET", "/?x=1", true, not_found},
      {"GET", "//", true, not_found},
      {"GET", "", true, not_found},
      {"GET", "/index.html", true, not_found},
      {"GET", "/favicon.ico", true, not_found},
      {"GET", "/api/status/", true, not_found},
      {"GET", "/api/status?x=1", true, not_found},
      {"GET", "/API/STATUS", true, not_found},
      {"GET", "/api/product", true, not_found},
      {"GET", "/api/products/", true, not_found},
      {"GET", "/api/medicine", true, not_found},
      {"GET", "/api/medicines?all", true, not_found},
      {"GET", "/api/reprice", true, not_found},
      {"POST", "/", true, not_found},
      {"POST", "/api/status", true, not_found},
      {"POST", "/api/repric", true, not_found},
      {"POST", "/API/reprice", true, not_found},
      {"POST", "api/reprice", true, not_found},
      {"HEAD", "/", true, not_found},
      {"PUT", "/api/reprice", true, not_found},
      {"OPTIONS", "/api/reprice", true, not_found},
      {"DELETE", "/api/products", true, not_found},
      {"get", "/", true, not_found},
      {"Get", "/api/status", true, not_found},
      {"post", "/api/reprice", true, not_found},
      {"GET ", "/", true, not_found},
      {"POSTS", "/api/reprice", true, not_found},
  };
  for (const auto& [method, path, with_seed, expected] : cases) {
    const auto got = route_request(method, path, with_seed ? seeded() : empty());
    EXPECT_EQ(got.status, expected.status) << method << " " << path;
    EXPECT_EQ(got.content_type, expected.content_type) << method << " " << path;
    EXPECT_EQ(got.body, expected.body) << method << " " << path;
  }
}

TEST(RouteRequest, ListsAreCompactArraysInStoredOrder) {
  Catalogue rows;
  rows.products = {product("B2", 10.0, 9.5, -5.0), product("B1", 1299.0, 1149.0, -11.54)};
  rows.medicines = {MedicineArbitrage{"Brand \\ A", 204.0, "Salt", "Generic", 58.0, 71.57}};
  const auto engine = MarketEngine::from_catalogue(rows);

  const auto products = route_request("GET", "/api/products", engine);
  EXPECT_EQ(products.status, "200 OK");
  EXPECT_EQ(products.content_type, "application/json");
  const std::string row_tail =
      R"("title":"Watch \"Pro\"","platform":"Amazon.in","original_price_inr":1999.0,)";
  EXPECT_EQ(products.body,
            R"([{"sku_asin":"B2",)" + row_tail +
                R"("current_price_inr":10.0,"competitor_price_inr":9.5,"price_delta_percent":-5.0,)"
                R"("stock_status":"IN_STOCK","last_checked_utc":"2026-01-02T03:04:05.5+00:00"},)"
                R"({"sku_asin":"B1",)" +
                row_tail +
                R"("current_price_inr":1299.0,"competitor_price_inr":1149.0,)"
                R"("price_delta_percent":-11.54,"stock_status":"IN_STOCK",)"
                R"("last_checked_utc":"2026-01-02T03:04:05.5+00:00"}])");

  const auto medicines = route_request("GET", "/api/medicines", engine);
  EXPECT_EQ(medicines.status, "200 OK");
  EXPECT_EQ(medicines.content_type, "application/json");
  EXPECT_EQ(medicines.body, R"([{"branded_medicine_name":"Brand \\ A","branded_price_inr":204.0,)"
                            R"("salt_composition":"Salt","jan_aushadhi_generic_name":"Generic",)"
                            R"("jan_aushadhi_price_inr":58.0,"savings_percent":71.57}])");

  EXPECT_EQ(route_request("GET", "/api/medicines", seeded()).body, SEED_MEDICINES_BODY);
  // The seeded products carry the start-up time, so only their identifiers are fixed.
  const auto seeded_products =
      json::Value::parse(route_request("GET", "/api/products", seeded()).body);
  ASSERT_EQ(seeded_products.size(), 2u);
  EXPECT_EQ(seeded_products[0]["sku_asin"], "B09G9FPHY6");
  EXPECT_EQ(seeded_products[1]["sku_asin"], "SKU-BOAT-AIRDOPES-141");
}

TEST(RouteRequest, RepriceWithoutTheAlertProductIsAJsonError) {
  Catalogue rows;
  // Same ASIN in lower case: the alert looks for the exact upper-case identifier.
  rows.products = {product("b09g9fphy6", 1299.0, 1149.0, -11.54)};
  const auto response = route_request("POST", "/api/reprice", MarketEngine::from_catalogue(rows));
  EXPECT_EQ(response.status, "500 ERROR");
  EXPECT_EQ(response.content_type, "application/json");
  EXPECT_EQ(response.body, R"({"error":"Product ASIN 'B09G9FPHY6' not found"})");
  EXPECT_EQ(json::Value::parse(response.body)["error"], "Product ASIN 'B09G9FPHY6' not found");

  // The list routes keep working on the same store.
  EXPECT_EQ(route_request("GET", "/api/status", empty()).body, STATUS_BODY);
  EXPECT_EQ(route_request("POST", "/api/reprice", empty()).status, "500 ERROR");
}

// --- the product list's pages -------------------------------------------------------------

// `count` products SKU-0, SKU-1, ... whose price gap grows with the row, on two platforms.
engine::EngineHandle catalogue_of(std::size_t count) {
  Catalogue rows;
  for (std::size_t i = 0; i < count; ++i) {
    rows.products.push_back(
        product("SKU-" + std::to_string(i), 100.0, 90.0, -static_cast<double>(i % 1000) / 10.0));
    if (i % 2 == 1) rows.products.back().platform = "Flipkart";
  }
  return MarketEngine::from_catalogue(rows);
}

// What a page of the product list says: its status, its rows' identifiers (or the error), and
// its own header lines, edges and bad values alike; never a crash.
TEST(ProductsRoute, PagesCountsAndRefusesBadValues) {
  const auto big = catalogue_of(250);
  const auto demo = seeded();
  const std::string expose = "Access-Control-Expose-Headers: X-Total-Count, Link\r\n";
  const auto count = [&](std::size_t total) {
    return "X-Total-Count: " + std::to_string(total) + "\r\n";
  };
  const auto next = [](std::string query) {
    return "Link: </api/products?" + query + ">; rel=\"next\"\r\n";
  };
  const auto bad = [](std::string reason) { return "400 " + reason; };
  const std::string limit_range = "limit must be a whole number from 0 to 1000";
  const std::string offset_range = "offset must be a whole number from 0 to 1000000000";
  struct Case {
    const engine::EngineHandle& engine;
    std::string path;
    std::string first_last;  // "first..last (rows)" of the page, or "400 reason"
    std::string headers;
  };
  const Case cases[] = {
      // Without parameters: the whole demo as ever, or the first default page and where more are.
      {demo, "/api/products", "B09G9FPHY6..SKU-BOAT-AIRDOPES-141 (2)", ""},
      {big, "/api/products", "SKU-0..SKU-99 (100)",
       count(250) + next("offset=100&limit=100") + expose},
      {big, "/api/products?limit=50", "SKU-0..SKU-49 (50)",
       count(250) + next("offset=50&limit=50") + expose},
      {big, "/api/products?offset=240&limit=50", "SKU-240..SKU-249 (10)", count(250) + expose},
      {big, "/api/products?offset=250", "(0)", count(250) + expose},
      {big, "/api/products?offset=1000000000", "(0)", count(250) + expose},
      {big, "/api/products?limit=0", "(0)", count(250) + expose},
      {big, "/api/products?limit=1000&", "SKU-0..SKU-249 (250)", count(250) + expose},
      {demo, "/api/products?limit=2", "B09G9FPHY6..SKU-BOAT-AIRDOPES-141 (2)", count(2) + expose},
      {demo, "/api/products?", "B09G9FPHY6..SKU-BOAT-AIRDOPES-141 (2)", count(2) + expose},
      // A search and an order, carried into the next page's link.
      {big, "/api/products?q=FLIP%6Bart&sort=-price_gap&limit=3", "SKU-249..SKU-245 (3)",
       count(125) + next("offset=3&limit=3&q=FLIPkart&sort=-price_gap") + expose},
      {big, "/api/products?sort=sku_asin&q=sku-1+&limit=2", "(0)", count(0) + expose},
      {big, "/api/products?q=%E2%82%B9%20x&limit=1", "(0)", count(0) + expose},
      // Bad values.
      {big, "/api/products?limit=-1", bad(limit_range), ""},
      {big, "/api/products?limit=abc", bad(limit_range), ""},
      {big, "/api/products?limit=", bad(limit_range), ""},
      {big, "/api/products?limit", bad(limit_range), ""},
      {big, "/api/products?limit=1001", bad(limit_range), ""},
      {big, "/api/products?limit=+5", bad(limit_range), ""},
      {big, "/api/products?limit=99999999999999999999999", bad(limit_range), ""},
      {big, "/api/products?offset=1000000001", bad(offset_range), ""},
      {big, "/api/products?offset=1e3", bad(offset_range), ""},
      {big, "/api/products?limit=1&limit=2", bad("parameter 'limit' given more than once"), ""},
      {big, "/api/products?q=%zz", bad("parameter 'q' has a bad percent-encoding"), ""},
      {big, "/api/products?q=%4", bad("parameter 'q' has a bad percent-encoding"), ""},
      {big, "/api/products?x=1",
       bad("unknown parameter 'x': the product list takes q, sort, offset and limit"), ""},
      {big, "/api/products?sort=price",
       bad("sort must be one of sku_asin, title, platform, original_price_inr, current_price_inr, "
           "competitor_price_inr, price_delta_percent, price_gap, stock_status, "
           "last_checked_utc, or one of them after '-' for descending"),
       ""},
  };
  for (const auto& [engine, path, first_last, headers] : cases) {
    const auto got = route_request("GET", path, engine);
    EXPECT_EQ(got.content_type, "application/json") << path;
    EXPECT_EQ(got.headers, headers) << path;
    const auto body = json::Value::parse(got.body);
    std::string summary;
    if (got.status == "400 BAD REQUEST") {
      summary = "400 " + body["error"].get<std::string>();
    } else {
      EXPECT_EQ(got.status, "200 OK") << path;
      if (!body.empty()) {
        summary = body.front()["sku_asin"].get<std::string>() + ".." +
                  body.back()["sku_asin"].get<std::string>() + ' ';
      }
      summary += '(' + std::to_string(body.size()) + ')';
    }
    EXPECT_EQ(summary, first_last) << path;
  }
  // The page is the one the dashboard was started with; the catalogue page is small whatever the
  // count, which it reads from the list.
  EXPECT_EQ(route_request("GET", "/", demo).body, DASHBOARD_PAGE);
  EXPECT_EQ(route_request("GET", "/", big, CATALOGUE_PAGE).body, CATALOGUE_PAGE);
  EXPECT_LT(CATALOGUE_PAGE.size(), 20000u);
  // The response framed on the wire carries the page's own headers before the fixed ones.
  EXPECT_EQ(frame_response(route_request("GET", "/api/products?limit=0", big)),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n" +
                count(250) + expose + std::string(HEADERS_AFTER_LENGTH).substr(2) + "[]");
}

// --- the page ------------------------------------------------------------------------------

// Returns the page's style rules as selector -> declarations ("property: value").
std::map<std::string, std::set<std::string>> style_rules(std::string_view page) {
  const auto trim = [](std::string_view text) {
    const auto first = text.find_first_not_of(" \n");
    if (first == std::string_view::npos) return std::string();
    const auto last = text.find_last_not_of(" \n");
    return std::string(text.substr(first, last - first + 1));
  };
  const auto begin = page.find("<style>") + 7;
  const std::string_view style = page.substr(begin, page.find("</style>") - begin);
  std::map<std::string, std::set<std::string>> rules;
  std::size_t at = 0;
  while (true) {
    const auto open = style.find('{', at);
    if (open == std::string_view::npos) break;
    const auto close = style.find('}', open);
    auto& declarations = rules[trim(style.substr(at, open - at))];
    std::string_view body = style.substr(open + 1, close - open - 1);
    while (!body.empty()) {
      const auto semicolon = body.find(';');
      const std::string declaration = trim(body.substr(0, semicolon));
      if (!declaration.empty()) declarations.insert(declaration);
      body = semicolon == std::string_view::npos ? "" : body.substr(semicolon + 1);
    }
    at = close + 1;
  }
  return rules;
}

// 250 drops, one a day for 250 products, of which the last 30 days' are listed, newest first,
// in pages; a bad page is refused as the product list refuses one.
TEST(AlertsRoute, PagesNewestFirstCountsAndRefusesBadValues) {
  constexpr std::int64_t NOW = 1'796'841'000'000'000 + engine::DAY_MICROS / 2;  // noon in India
  engine::HistorySource source;
  source.now = [] { return NOW; };
  source.read_alerts = [](std::int64_t, std::int64_t since) {
    std::vector<engine::ProductAlerts> products;
    for (std::int64_t i = 0; i < 250; ++i) {
      const std::int64_t at = NOW - i * engine::DAY_MICROS - 1;
      if (at < since) continue;
      products.push_back({"SKU-" + std::to_string(i),
                          "",
                          "Flipkart",
                          {{engine::AlertKind::DROP, at, 90000, 100000, -10}}});
    }
    return Result<std::vector<engine::ProductAlerts>>(std::move(products));
  };
  const auto link = [](std::string query) {
    return "Link: </api/alerts?" + query + ">; rel=\"next\"\r\n";
  };
  const std::string expose = "Access-Control-Expose-Headers: X-Total-Count, Link\r\n";
  const std::tuple<std::string, std::string, std::string> cases[] = {
      // The window holds the alerts of days 0 to 29 back: SKU-0 (newest) to SKU-29.
      {"/api/alerts", "SKU-0..SKU-29", "X-Total-Count: 30\r\n" + expose},
      {"/api/alerts?limit=10", "SKU-0..SKU-9",
       "X-Total-Count: 30\r\n" + link("offset=10&limit=10") + expose},
      {"/api/alerts?offset=25&limit=10", "SKU-25..SKU-29", "X-Total-Count: 30\r\n" + expose},
      {"/api/alerts?offset=40", "", "X-Total-Count: 30\r\n" + expose},
      {"/api/alerts?limit=0", "", "X-Total-Count: 30\r\n" + expose},
      {"/api/alerts?limit=1001", "400 limit must be a whole number from 0 to 1000", ""},
      {"/api/alerts?offset=-1", "400 offset must be a whole number from 0 to 1000000000", ""},
      {"/api/alerts?limit=1&limit=2", "400 parameter 'limit' given more than once", ""},
      {"/api/alerts?days=3", "400 unknown parameter 'days': the alert list takes offset and limit",
       ""}};
  for (const auto& [path, listed, headers] : cases) {
    const DashboardResponse response = route_request("GET", path, seeded(), "", &source);
    const json::Value body = json::Value::parse(response.body);
    std::string got;
    if (response.status.starts_with("400")) {
      got = "400 " + body["error"].get<std::string>();
    } else if (!body["alerts"].empty()) {
      got = body["alerts"].front()["sku_asin"].get<std::string>() + ".." +
            body["alerts"].back()["sku_asin"].get<std::string>();
    }
    EXPECT_EQ(got, listed) << path;
    EXPECT_EQ(response.headers, headers) << path;
  }
}

// Expects `fragments` to occur in `text` in this order; returns the position after the last.
std::size_t expect_in_order(std::string_view text, const std::vector<std::string>& fragments,
                            std::size_t from = 0) {
  for (const auto& fragment : fragments) {
    const auto found = text.find(fragment, from);
    EXPECT_NE(found, std::string_view::npos) << "missing after byte " << from << ": " << fragment;
    if (found == std::string_view::npos) return from;
    from = found + fragment.size();
  }
  return from;
}

TEST(DashboardPage, IsOneSelfContainedDocumentWithLfLinesAndNoFinalBreak) {
  // The demo's page and the store's alike.
  for (const std::string_view page : {DASHBOARD_PAGE, CATALOGUE_PAGE}) {
    EXPECT_TRUE(page.starts_with("<!DOCTYPE html>\n<html lang=\"en\">\n"));
    EXPECT_TRUE(page.ends_with("\n</html>"));
    EXPECT_EQ(page.find('\r'), std::string_view::npos);
    EXPECT_EQ(page.find('\t'), std::string_view::npos);
    EXPECT_TRUE(text::is_valid_utf8(page));
    // Indentation comes in steps of four spaces.
    std::size_t line_start = 0;
    while (line_start < page.size()) {
      const auto indent = page.find_first_not_of(' ', line_start) - line_start;
      EXPECT_EQ(indent % 4, 0u) << "line at byte " << line_start;
      const auto line_feed = page.find('\n', line_start);
      if (line_feed == std::string_view::npos) break;
      line_start = line_feed + 1;
    }
    // Nothing that would make the browser fetch another resource or leave the machine.
    for (const auto* outside : {"http", "src=", "href=", "url(", "@import", "<link", "<img",
                                "<iframe", "//fonts", "<script src"}) {
      EXPECT_EQ(page.find(outside), std::string_view::npos) << outside;
    }
  }
}

TEST(DashboardPage, DeclaresTheColourTokensAndStyleRules) {
  const auto rules = style_rules(DASHBOARD_PAGE);
  const std::map<std::string, std::set<std::string>> expected = {
      {":root",
       {"--bg: #06090e", "--panel: #0d121c", "--border: #1e2638", "--emerald: #10b981",
        "--gold: #e5a93c", "--cyan: #06b6d4", "--rose: #f43f5e", "--text: #e2e8f0",
        "--muted: #94a3b8"}},
      {"body",
       {"background-color: var(--bg)", "color: var(--text)",
        "font-family: -apple-system, BlinkMacSystemFont, \"Segoe UI\", Roboto, sans-serif",
        "margin: 0", "padding: 24px"}},
      {".container", {"max-width: 1300px", "margin: 0 auto"}},
      {".header",
       {"display: flex", "justify-content: space-between", "align-items: center",
        "border-bottom: 1px solid var(--border)", "padding-bottom: 16px", "margin-bottom: 24px"}},
      {".brand", {"font-size: 22px", "font-weight: 800", "color: #fff", "letter-spacing: -0.5px"}},
      {".badge",
       {"background: rgba(6, 182, 212, 0.15)", "border: 1px solid var(--cyan)",
        "color: var(--cyan)", "padding: 4px 10px", "border-radius: 9999px", "font-size: 12px",
        "font-weight: 600"}},
      {".stats-grid",
       {"display: grid", "grid-template-columns: repeat(4, 1fr)", "gap: 16px",
        "margin-bottom: 24px"}},
      {".card",
       {"background: var(--panel)", "border: 1px solid var(--border)", "border-radius: 12px",
        "padding: 18px"}},
      {".card-label",
       {"font-size: 13px", "color: var(--muted)", "text-transform: uppercase", "font-weight: 600"}},
      {".card-val", {"font-size: 26px", "font-weight: 800", "margin-top: 6px", "color: #fff"}},
      {".card-sub", {"font-size: 12px", "color: var(--cyan)", "margin-top: 4px"}},
      {"table",
       {"width: 100%", "border-collapse: collapse", "background: var(--panel)",
        "border: 1px solid var(--border)", "border-radius: 12px", "overflow: hidden",
        "margin-top: 16px"}},
      {"th, td",
       {"padding: 14px 16px", "text-align: left", "border-bottom: 1px solid var(--border)",
        "font-size: 14px"}},
      {"th", {"background: rgba(30, 38, 56, 0.4)", "color: var(--muted)", "font-weight: 600"}},
      {".btn-alert",
       {"background: var(--cyan)", "color: #06090e", "border: none", "padding: 6px 12px",
        "border-radius: 6px", "font-weight: 700", "cursor: pointer", "font-size: 12px"}},
      {".btn-alert:hover", {"opacity: 0.9"}},
  };
  EXPECT_EQ(rules, expected);
  // The gold token is declared for later use and referenced nowhere.
  EXPECT_EQ(DASHBOARD_PAGE.find("var(--gold)"), std::string_view::npos);
}

TEST(DashboardPage, ShowsTheHeaderCardsAndTableInOrder) {
  const std::string_view page = DASHBOARD_PAGE;
  auto at = expect_in_order(
      page, {"<meta charset=\"UTF-8\">",
             "<title>Quillon Market & Retail Intelligence | Varnel AI Labs</title>", "<body>",
             "<div class=\"container\">", "<div class=\"header\">",
             "<div class=\"brand\">🛒 QUILLON MARKET & RETAIL INTELLIGENCE</div>",
             "<div style=\"font-size: 13px; color: var(--muted); margin-top: 4px;\">Competitor "
             "Price Tracker, Review Defect Miner & Jan Aushadhi Arbitrage | 0 Cloud Bills</div>",
             "<span class=\"badge\">TIER 3 QUILLON NODE</span>", "<div class=\"stats-grid\">"});

  const std::vector<std::vector<std::string>> cards = {
      {"Tracked SKUs", " style=\"color: var(--cyan);\">2 Active", "Amazon.in & Flipkart"},
      {"Price Discrepancy", " style=\"color: var(--rose);\">-11.54%", "Auto-Reprice Triggered"},
      {"Medicine Arbitrage", " style=\"color: var(--emerald);\">71.57% Off",
       "Augmentin vs Jan Aushadhi"},
      {"RAM Consumption", ">11.2 MB", "Air-Gapped E-Commerce Engine"},
  };
  for (const auto& card : cards) {
    at = expect_in_order(page,
                         {"<div class=\"card\">", "<div class=\"card-label\">" + card[0] + "</div>",
                          "<div class=\"card-val\"" + card[1] + "</div>",
                          "<div class=\"card-sub\">" + card[2] + "</div>"},
                         at);
  }

  std::vector<std::string> head = {"<table>"};
  for (const auto* cell : {"SKU / ASIN", "Product Title", "Platform", "Our Price",
                           "Competitor Price", "Delta", "Actions"}) {
    head.push_back(std::string("<th>") + cell + "</th>");
  }
  at = expect_in_order(page, head, at);

  const std::vector<std::vector<std::string>> rows = {
      {"B09G9FPHY6", "Noise ColorFit Pulse Grand Smart Watch", "Amazon.in", "₹1,299.00",
       "₹1,149.00", "-11.54%"},
      {"SKU-BOAT-141", "boAt Airdopes 141 ANC TWS Earbuds", "Flipkart", "₹1,399.00", "₹1,349.00",
       "-3.57%"},
  };
  for (const auto& row : rows) {
    at = expect_in_order(
        page,
        {"<tr>", "<td><strong style=\"color: var(--cyan);\">" + row[0] + "</strong></td>",
         "<td>" + row[1] + "</td>", "<td>" + row[2] + "</td>", "<td>" + row[3] + "</td>",
         "<td><strong style=\"color: var(--rose);\">" + row[4] + "</strong></td>",
         "<td><span style=\"color: var(--rose); font-weight: bold;\">" + row[5] + "</span></td>",
         "<td><button class=\"btn-alert\" onclick=\"testReprice()\">Trigger Reprice</button></td>",
         "</tr>"},
        at);
  }
  at = expect_in_order(page, {"</table>", "</div>", "<script>"}, at);
  // Both buttons and nothing else call the script; there are exactly two rows and four cards.
  const auto count = [&](std::string_view needle) {
    std::size_t n = 0;
    for (auto i = page.find(needle); i != std::string_view::npos; i = page.find(needle, i + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("testReprice()"), 3u);  // two buttons and the definition
  EXPECT_EQ(count("<tr>"), 3u);
  EXPECT_EQ(count("class=\"card\""), 4u);
}

TEST(DashboardPage, ScriptPostsToRepriceAndAlertsTheLatency) {
  const std::string_view page = DASHBOARD_PAGE;
  expect_in_order(
      page, {"<script>", "async function testReprice() {",
             "fetch('/api/reprice', { method: 'POST' })", ".json()",
             "alert('✅ Competitor Price Drop Alert Dispatched in ' + ", ".latency_micros + ' µs!')",
             "catch (", "alert('Error: ' + ", "</script>", "</body>", "</html>"});
  // The page calls no other route.
  for (const auto* route : {"/api/status", "/api/products", "/api/medicines"}) {
    EXPECT_EQ(page.find(route), std::string_view::npos) << route;
  }
  EXPECT_EQ(page.find("fetch("), page.rfind("fetch("));
}

// --- the request line ----------------------------------------------------------------------

using Tokens = std::pair<std::string, std::string>;

TEST(ParseRequestLine, TakesMethodAndPathOfTheFirstLineDecodedAndSplitAtUnicodeWhiteSpace) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::optional<Tokens> silence;
  const std::pair<std::string, std::optional<Tokens>> cases[] = {
      {"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", Tokens("GET", "/api/status")},
      {"POST /api/reprice HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", Tokens("POST", "/api/reprice")},
      // No version, no line break: the bare text still has a method and a path.
      {"GET /", Tokens("GET", "/")},
      {"GET / HTTP/1.1 and more words\n", Tokens("GET", "/")},
      {"  \t GET    /x  \n", Tokens("GET", "/x")},
      // Header lines are never looked at, not even when they look like request lines.
      {"GET /a\nPOST /api/reprice HTTP/1.1\n", Tokens("GET", "/a")},
      // Fewer than two tokens on the first line is silence.
      {"", silence},
      {"GET", silence},
      {"GET\r\n", silence},
      {"GET\r\n/ HTTP/1.1\r\n", silence},
      {"\r\nGET / HTTP/1.1\r\n", silence},
      {"\nGET / HTTP/1.1\n", silence},
      {" \t\r\n", silence},
      {"   ", silence},
      {"\r", silence},
      {"G", silence},
      {"GET\xE2\x80\x8B/", silence},  // U+200B is not white space: one token
      {std::string("\0\0\0", 3), silence},
      // Only the CR right before the line feed is dropped.
      {"GET /a\r\n", Tokens("GET", "/a")},
      {"GET /a\r\r\n", Tokens("GET", "/a")},
      // Without a line feed a trailing CR stays in the line, where it is white space.
      {"GET /a\r", Tokens("GET", "/a")},
      // A CR inside the line separates tokens like any other white space.
      {"GET\r/b\rHTTP/1.1\r\n", Tokens("GET", "/b")},
      {"GET /c\rd HTTP/1.1", Tokens("GET", "/c")},
      // Every Unicode white space separates.
      {"GET\v/\f", Tokens("GET", "/")},
      {"GET\xC2\xA0/api/status", Tokens("GET", "/api/status")},  // U+00A0
      {"\xC2\x85GET\xC2\x85/", Tokens("GET", "/")},              // U+0085
      {"GET\xE3\x80\x80/\xE2\x80\xA8x", Tokens("GET", "/")},     // U+3000 U+2028
      {"POST\xE2\x80\x83\xE2\x80\x83/api/reprice", Tokens("POST", "/api/reprice")},  // U+2003
      {"GET /\xE1\x9A\x80more", Tokens("GET", "/")},                                 // U+1680
      // Similar-looking characters that are not white space stay inside the token.
      {"GET /a\xE2\x81\xA0"
       "b",
       Tokens("GET",
              "/a\xE2\x81\xA0"
              "b")},  // U+2060
      // Each maximal invalid subpart becomes one U+FFFD.
      {"GET /\xFF HTTP/1.1\r\n", Tokens("GET", "/" + fffd)},
      {"GET /\xE2\x82 x", Tokens("GET", "/" + fffd)},    // truncated three-byte form
      {"GET /\xF0\x9F\x9B", Tokens("GET", "/" + fffd)},  // cut off at the end
      {"GET /\xF0\x9F\x9B\r\n", Tokens("GET", "/" + fffd)},
      {"GET /\xC0\xAF", Tokens("GET", "/" + fffd + fffd)},             // overlong
      {"GET /\xED\xA0\x80", Tokens("GET", "/" + fffd + fffd + fffd)},  // surrogate
      {"\xFFGET /", Tokens(fffd + "GET", "/")},
      // A valid U+FFFD passes through unchanged; an invalid byte is no separator.
      {"GET /" + fffd, Tokens("GET", "/" + fffd)},
      {"GET\xFF/", silence},
      // A lead byte cut off by the line feed is replaced, and the line feed still ends the line.
      {"GET /\xE2\nx", Tokens("GET", "/" + fffd)},
  };
  for (const auto& [bytes, expected] : cases) {
    const auto line = parse_request_line(bytes);
    const auto got = line ? std::optional<Tokens>(Tokens(line->method, line->path)) : silence;
    EXPECT_EQ(got, expected) << testing::PrintToString(bytes);
  }
}

// --- framing -------------------------------------------------------------------------------

std::string framed(std::string_view status, std::string_view type, std::string_view body,
                   std::string_view headers = "") {
  return "HTTP/1.1 " + std::string(status) + "\r\nContent-Type: " + std::string(type) +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + std::string(headers) +
         std::string(HEADERS_AFTER_LENGTH).substr(2) + std::string(body);
}

TEST(FrameResponse, WritesTheStatusLineFourHeadersAndTheBody) {
  EXPECT_EQ(frame_response({"404 NOT FOUND", "text/plain", "Not Found"}),
            "HTTP/1.1 404 NOT FOUND\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n"
            "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\nNot Found");
  EXPECT_EQ(frame_response({"200 OK", "application/json", ""}),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 0\r\n"
            "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n");
  // The length counts bytes: "₹µ✅🛒" is four characters in twelve bytes.
  EXPECT_EQ(frame_response({"200 OK", "text/plain", "₹µ✅🛒"}),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 12\r\n"
            "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n₹µ✅🛒");
}

// The response to one read as the server gives it, and whether it is one of the fixed responses
// rather than one built for the request.
struct FirstReadResponse {
  std::optional<std::string> bytes;
  bool fixed = false;
};

FirstReadResponse respond_to(std::string_view bytes_read, const engine::EngineHandle& engine) {
  const FixedResponses fixed(engine);
  std::string built;
  const std::string* answer = answer_first_read(bytes_read, engine, fixed, nullptr, built).response;
  if (answer == nullptr) return {};
  return {*answer, answer != &built};
}

TEST(AnswerFirstRead, AnswersWellFormedRequestLinesAndStaysSilentOtherwise) {
  const auto engine = seeded();
  const std::string page = framed("200 OK", "text/html; charset=utf-8", DASHBOARD_PAGE);
  const std::string not_found = framed("404 NOT FOUND", "text/plain", "Not Found");
  struct Case {
    std::string_view bytes_read;
    std::optional<std::string> answer;
    bool fixed;
  };
  // Each response byte for byte, its length in bytes: the page holds multi-byte characters.
  const Case cases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", page, true},
      {"GET /", page, true},
      {"GET /api/status HTTP/1.1\r\n", framed("200 OK", "application/json", STATUS_BODY), true},
      {"GET /api/medicines\r\n", framed("200 OK", "application/json", SEED_MEDICINES_BODY), true},
      {"POST /api/reprice HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
       framed("200 OK", "application/json", SEED_REPRICE_BODY), false},
      {"GET /\xFF HTTP/1.1\r\n", not_found, false},
      {"HEAD / HTTP/1.1\r\n", not_found, false},
      {"GET", std::nullopt, false},
      {"\r\nGET / HTTP/1.1\r\n", std::nullopt, false},
      {"", std::nullopt, false},
  };
  for (const auto& [bytes_read, answer, fixed] : cases) {
    const auto got = respond_to(bytes_read, engine);
    EXPECT_EQ(got.bytes, answer) << testing::PrintToString(bytes_read);
    EXPECT_EQ(got.fixed, fixed) << testing::PrintToString(bytes_read);
  }
}

// Pages of the product list asked for again are answered from those kept, the oldest replaced by
// newer ones: in three rounds over more pages than are kept (one too large to keep), with HEAD
// and a neighbouring path among them, each answer is the one a fresh snapshot gives.
TEST(FixedResponses, KeepTheProductPagesAskedForLastAndAnswerThemAsBuilt) {
  const auto engine = catalogue_of(3000);
  const FixedResponses kept(engine);
  std::vector<std::string> requests = {"GET /api/products?limit=1000&sort=-price_gap",
                                       "HEAD /api/products?limit=2", "GET /api/productsX?limit=2"};
  for (int page = 0; page < 20; ++page) {
    requests.push_back("GET /api/products?limit=" + std::to_string(page + 1) +
                       "&offset=" + std::to_string(page * 7) + (page % 2 ? "&q=flip" : ""));
  }
  for (int round = 0; round < 3; ++round) {
    for (const std::string& request : requests) {
      const std::string bytes = request + " HTTP/1.1\r\n\r\n";
      std::string built;
      const std::string* answer = answer_first_read(bytes, engine, kept, nullptr, built).response;
      ASSERT_NE(answer, nullptr) << request;
      EXPECT_EQ(*answer, respond_to(bytes, engine).bytes.value()) << round << ' ' << request;
    }
  }
}

// A page is kept under its request line's bytes: lines that differ where the parse does not look,
// or name other pages, are answered as a fresh snapshot answers them, and a page asked for again
// is recalled rather than built.
TEST(FixedResponses, KnowAKeptPageByItsRequestLineBytes) {
  const auto engine = catalogue_of(300);
  const FixedResponses kept(engine);
  const std::string_view reads[] = {"GET /api/products?limit=2 HTTP/1.1\r\nHost: a\r\n\r\n",
                                    "GET /api/products?limit=2\n\n",
                                    "GET  /api/products?limit=2\tHTTP/1.0\r\n",
                                    " GET /api/products?limit=2",
                                    "GET /api/products?limit=2\xC2\xA0HTTP/1.1\r\n",
                                    "GET /api/products?limit=2\xC2 HTTP/1.1",
                                    "GET /api/products?limit=20 HTTP/1.1\r\n",
                                    "HEAD /api/products?limit=2 HTTP/1.1\r\n"};
  for (int round = 0; round < 2; ++round) {
    for (const std::string_view bytes : reads) {
      std::string built;
      const auto outcome = answer_first_read(bytes, engine, kept, nullptr, built);
      ASSERT_NE(outcome.response, nullptr) << testing::PrintToString(bytes);
      EXPECT_EQ(*outcome.response, respond_to(bytes, engine).bytes)
          << testing::PrintToString(bytes);
      if (round == 1 && bytes.starts_with("GET")) {
        EXPECT_TRUE(built.empty() && outcome.kept) << testing::PrintToString(bytes);
      }
    }
  }
}

TEST(FixedResponses, HoldTheFramedResponsesOfTheUnchangingGets) {
  // The seed's medicines and no product: each list's response tells which list it came from.
  Catalogue rows;
  rows.medicines = seeded()->list_medicines();
  const FixedResponses fixed(MarketEngine::from_catalogue(rows));
  const std::map<std::string, std::string> expected = {
      {"/", framed("200 OK", "text/html; charset=utf-8", DASHBOARD_PAGE)},
      {"/api/status", framed("200 OK", "application/json", STATUS_BODY)},
      {"/api/products", framed("200 OK", "application/json", "[]")},
      {"/api/medicines", framed("200 OK", "application/json", SEED_MEDICINES_BODY)}};
  for (const auto& [path, response] : expected) {
    const auto* held = fixed.find({"GET", path});
    ASSERT_NE(held, nullptr) << path;
    EXPECT_EQ(*held, response) << path;
  }
  // A store's page for GET "/" when it is given one, with a policy that lets it load nothing and
  // ask this origin alone.
  EXPECT_EQ(*FixedResponses(MarketEngine::from_catalogue(rows), CATALOGUE_PAGE).find({"GET", "/"}),
            framed("200 OK", "text/html; charset=utf-8", CATALOGUE_PAGE,
                   "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; "
                   "script-src 'unsafe-inline'; connect-src 'self'; base-uri 'none'; "
                   "form-action 'none'; frame-ancestors 'none'\r\n"));
  // A reprice is dispatched anew each time, and neighbours fall to the route table.
  for (const RequestLine& line : std::vector<RequestLine>{{"POST", "/api/reprice"},
                                                          {"POST", "/"},
                                                          {"HEAD", "/"},
                                                          {"GET", "/api/status/"},
                                                          {"GET", "/favicon.ico"}}) {
    EXPECT_EQ(fixed.find(line), nullptr) << line.method << ' ' << line.path;
  }
}

// --- the tool server's path ----------------------------------------------------------------

constexpr std::uint16_t TOOL_PORT = 7577;
constexpr std::string_view TOKEN = "s3cret-Token";

// An endpoint that replies 200 with the call's fields, one per line, so that each case shows
// what was handed on.
ToolServerReply echo(const ToolServerCall& call) {
  const auto field = [](const std::optional<std::string_view>& value) {
    return value ? std::string(*value) : std::string("-");
  };
  if (call.body == "notify") return {202, "ignored"};
  return {200, std::string(call.body) + "|" + field(call.protocol_version) + "|" +
                   field(call.method) + "|" + field(call.name)};
}

ToolPath tool_path(bool with_token) {
  ToolServerOptions options{echo, {"http://localhost:6274"}, std::nullopt};
  if (with_token) options.token = std::string(TOKEN);
  return ToolPath(std::move(options), TOOL_PORT);
}

// A POST of `body` to the tool server with the headers a client sends, less those named in
// `drop`, and `extra` lines added.
std::string post(std::string_view extra = {}, std::string_view body = "{}",
                 std::vector<std::string_view> drop = {}) {
  const std::vector<std::pair<std::string_view, std::string>> usual = {
      {"Host", "127.0.0.1:7577"},
      {"Content-Type", "application/json"},
      {"Accept", "application/json, text/event-stream"},
      {"Authorization", "Bearer " + std::string(TOKEN)},
      {"Content-Length", std::to_string(body.size())}};
  std::string request = "POST /mcp HTTP/1.1\r\n";
  for (const auto& [name, value] : usual) {
    bool dropped = false;
    for (const auto gone : drop) dropped = dropped || gone == name;
    if (!dropped) request += std::string(name) + ": " + value + "\r\n";
  }
  return request + std::string(extra) + "\r\n" + std::string(body);
}

// Answers `bytes` as a request read at once, with `room` in its loop's budget.
ToolProgress answer(const ToolPath& tools, std::string_view bytes, std::string& response,
                    std::size_t room = SIZE_MAX) {
  ToolBudget budget{room};
  ToolRequest request(tools, budget);
  return request.answer(bytes, response);
}

// Returns a response up to and including its blank line.
std::string head_of(const std::string& response) {
  return response.substr(0, response.find("\r\n\r\n") + 4);
}

std::string with_method(std::string request, std::string_view method) {
  return std::string(method) + request.substr(request.find(' '));
}

std::string refusal(int status, std::string_view message, std::string_view headers = {}) {
  const std::string body =
      R"({"error":{"code":-32600,"message":")" + std::string(message) + R"("},"jsonrpc":"2.0"})";
  return "HTTP/1.1 " + std::to_string(status) + " " + std::string(message) +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n" + std::string(headers) + "Vary: Origin\r\nConnection: close\r\n\r\n" + body;
}

// Whole responses byte for byte: the endpoint's reply, a refusal with its header, the preflight and
// a notification's; what the endpoint is handed; the checks a table of statuses cannot show.
TEST(ToolPath, FramesEachResponseWholeAndHandsOnTheBodyAndTheToolServersHeaders) {
  const auto answered = [](std::string_view body, std::string_view headers = {}) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n" + std::string(headers) +
           "Vary: Origin\r\nConnection: close\r\n\r\n" + std::string(body);
  };
  const std::string unauthorized = refusal(401, "Unauthorized", "WWW-Authenticate: Bearer\r\n");
  const std::string big(TOOL_HEAD_LIMIT, 'a');
  struct Case {
    std::string what;
    std::string request;
    std::string response;
  };
  const Case cases[] = {
      {"a whole request", post(), answered("{}|-|-|-")},
      {"an allowed origin", post("Origin: http://localhost:6274\r\n"),
       answered("{}|-|-|-", "Access-Control-Allow-Origin: http://localhost:6274\r\n")},
      {"the headers of the later revision",
       post("mcp-protocol-version: 2026-07-28\r\nMCP-METHOD: tools/call\r\nMcp-Name:  x \r\n"),
       answered("{}|2026-07-28|tools/call|x")},
      {"a token's prefix", post("Authorization: Bearer s3cret\r\n", "{}", {"Authorization"}),
       unauthorized},
      {"the token and a byte more",
       post("Authorization: Bearer s3cret-Token!\r\n", "{}", {"Authorization"}), unauthorized},
      {"a preflight",
       with_method(post("Origin: http://localhost:6274\r\n", "{}", {"Authorization"}), "OPTIONS"),
       "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Methods: POST\r\n"
       "Access-Control-Allow-Headers: Content-Type, Accept, Authorization, MCP-Protocol-Version, "
       "Mcp-Method, Mcp-Name\r\nAccess-Control-Max-Age: 600\r\n"
       "Access-Control-Allow-Origin: http://localhost:6274\r\nVary: Origin\r\n"
       "Connection: close\r\n\r\n"},
      {"a notification: 202 without a body", post("", "notify"),
       "HTTP/1.1 202 Accepted\r\nContent-Length: 0\r\nVary: Origin\r\nConnection: close\r\n\r\n"},
      {"a head past the limit", post("X-Big: " + big + "\r\n"),
       refusal(431, "Request Header Fields Too Large")},
      {"a head not ended by the limit", post().substr(0, 30) + big,
       refusal(431, "Request Header Fields Too Large")},
      {"HEAD: the response to GET without its content", with_method(post(), "HEAD"),
       head_of(refusal(405, "Method Not Allowed", "Allow: POST\r\n"))},
      {"a target not ours", "POST /mcp/ HTTP/1.1\r\n\r\n", refusal(404, "Not Found")},
  };
  const ToolPath tools = tool_path(true);
  for (const auto& [what, request, response] : cases) {
    std::string got;
    EXPECT_EQ(answer(tools, request, got).next, ToolProgress::Next::SEND) << what;
    EXPECT_EQ(got, response) << what;
  }
  // Without a token file, no Authorization is looked for.
  std::string got;
  static_cast<void>(answer(tool_path(false), post("", "{}", {"Authorization"}), got));
  EXPECT_EQ(got, answered("{}|-|-|-"));
}

// Returns `text` with every `from` replaced by `to`.
std::string replaced(std::string text, std::string_view from, std::string_view to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

TEST(ToolPath, AnswersTheTableTheProcessTestSharesWithTheStatusAndLinesItGives) {
  std::ifstream file(QMR_TOOL_PATH_TABLE);
  std::stringstream text;
  text << file.rdbuf();
  const auto table = json::Value::parse(text.str());
  ASSERT_GT(table["cases"].size(), 10u);
  const ToolPath tools = tool_path(true);
  for (const auto& entry : table["cases"]) {
    const std::string what = entry["what"];
    const std::string request =
        replaced(replaced(entry["request"], "{port}", std::to_string(TOOL_PORT)), "{token}", TOKEN);
    std::string response;
    ASSERT_EQ(answer(tools, request, response).next, ToolProgress::Next::SEND) << what;
    // The endpoint here replies 200; the program's is the tool server.
    const int status = entry["status"].is_null() ? 200 : entry["status"].get<int>();
    EXPECT_TRUE(response.starts_with("HTTP/1.1 " + std::to_string(status) + " "))
        << what << response;
    const std::string head = response.substr(0, response.find("\r\n\r\n") + 2);
    for (const std::string line : entry["lines"]) {
      const std::string wanted = replaced(line, "{port}", std::to_string(TOOL_PORT));
      EXPECT_NE(head.find("\r\n" + wanted + "\r\n"), std::string::npos) << what << ": " << wanted;
    }
    EXPECT_EQ(head.find("Access-Control-Allow-Origin: *"), std::string::npos) << what;
  }
}

TEST(ToolPath, ReadsEachLineOnceAndAsksForTheRestOfTheHeadAndTheBodyUntilTheyHaveArrived) {
  const ToolPath tools = tool_path(true);
  const std::string body = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
  const std::string request = post("", body);
  const std::size_t head_size = request.size() - body.size();
  // One request read on at every cut, and the bytes copied elsewhere before each read, as the
  // server grows its buffer: each call reads only what came since the last whole line.
  std::string response;
  ToolBudget budget{SIZE_MAX};
  std::optional<ToolRequest> reading(std::in_place, tools, budget);
  std::vector<char> bytes;
  for (std::size_t cut = 1; cut < request.size(); ++cut) {
    std::vector<char> copied(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(cut));
    reading->moved(bytes.data(), copied.data());
    bytes = std::move(copied);  // the vector's buffer moves with it
    const auto progress = reading->answer({bytes.data(), bytes.size()}, response);
    if (cut < head_size) {
      ASSERT_EQ(progress.next, ToolProgress::Next::READ_HEAD) << cut;
    } else {
      ASSERT_EQ(progress.next, ToolProgress::Next::READ_BODY) << cut;
      EXPECT_EQ(progress.request_size, request.size()) << cut;
      EXPECT_EQ(budget.held, request.size()) << cut;  // held once, for the whole request
    }
  }
  // Lines already read are not read again: the head's first line wiped, the request goes on.
  std::string rest = std::string(request.find('\n'), ' ') + request.substr(request.find('\n'));
  reading->moved(bytes.data(), rest.data());
  ASSERT_EQ(reading->answer(rest, response).next, ToolProgress::Next::SEND);
  EXPECT_TRUE(response.ends_with(body + "|-|-|-")) << response;
  reading.reset();
  EXPECT_EQ(budget.held, 0u);  // the room is given back with the request

  // A client that expects 100-continue gets it before the body, once: not with some of the body
  // read already, nor in HTTP/1.0.
  const std::string expecting = post("Expect: 100-Continue\r\n", body);
  const std::size_t expecting_head = expecting.size() - body.size();
  for (const auto& [sent, cut, awaits] :
       {std::tuple{expecting, expecting_head, true},
        {expecting, expecting_head + 1, false},
        {request, head_size, false},
        {replaced(expecting, "HTTP/1.1", "HTTP/1.0"), expecting_head, false}}) {
    const auto progress = answer(tools, std::string_view(sent).substr(0, cut), response);
    EXPECT_EQ(progress.next, ToolProgress::Next::READ_BODY) << sent;
    EXPECT_EQ(progress.awaits_continue, awaits) << sent.substr(0, cut);
  }
  // A refusal needs no body: it is answered from the head alone.
  const std::string refused = post("", body, {"Authorization"});
  EXPECT_EQ(answer(tools, std::string_view(refused).substr(0, refused.size() - 1), response).next,
            ToolProgress::Next::SEND);
  // A body still to come that the loop has no room for: 503, with the origin, if allowed.
  const std::string from_allowed = post("Origin: http://localhost:6274\r\n", body);
  const auto head_only =
      std::string_view(from_allowed).substr(0, from_allowed.size() - body.size());
  EXPECT_EQ(answer(tools, head_only, response, from_allowed.size()).next,
            ToolProgress::Next::READ_BODY);
  EXPECT_EQ(answer(tools, from_allowed, response, 0).next, ToolProgress::Next::SEND);
  EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK\r\n")) << "a whole request needs no room";
  EXPECT_EQ(answer(tools, head_only, response, from_allowed.size() - 1).next,
            ToolProgress::Next::SEND);
  EXPECT_EQ(response,
            "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
            "Content-Length: 73\r\nAccess-Control-Allow-Origin: http://localhost:6274\r\n"
            "Vary: Origin\r\nConnection: close\r\n\r\n"
            R"({"error":{"code":-32603,"message":"Service Unavailable"},"jsonrpc":"2.0"})");
}

TEST(AnswerFirstRead, TheToolServersPathIsTheDashboardsOnlyWhenTheToolServerIsOn) {
  const auto engine = seeded();
  const FixedResponses fixed(engine);
  const ToolPath path = tool_path(false);
  const std::string not_found = framed("404 NOT FOUND", "text/plain", "Not Found");
  const std::string request = post();
  const std::string too_large =
      "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:7577\r\nContent-Type: application/json\r\n"
      "Content-Length: 2097152\r\n\r\n";
  using Next = FirstReadOutcome::Next;
  struct Case {
    std::string what;
    std::string bytes;
    bool on;
    Next next;
    std::string response;  // "(none)" for none; with `prefix`, how it begins
    bool prefix = false;
    std::size_t unread_body = 0;
  };
  const Case cases[] = {
      {"off: every byte as the dashboard has always answered", request, false, Next::SEND,
       not_found},
      {"off: a read inside a request line judged as it is", "POST /mc", false, Next::SEND,
       not_found},
      {"on: /mcp is the tool server's", request, true, Next::SEND, "HTTP/1.1 200 OK\r\n", true},
      {"on: the rest of its head", request.substr(0, 20), true, Next::READ_TOOL_REQUEST, "(none)"},
      {"on: a request line that may yet be /mcp", "POST /mc", true, Next::READ_LINE, "(none)"},
      {"on: a method alone", "POST", true, Next::READ_LINE, "(none)"},
      {"on: a path that may yet be /mcp", "GET /", true, Next::READ_LINE, "(none)"},
      {"on: a path that cannot be /mcp", "POST /mx", true, Next::SEND, not_found},
      {"on: no method", " /mc", true, Next::SEND, "(none)"},
      {"on: /mcp/", "POST /mcp/ HTTP/1.1\r\n\r\n", true, Next::SEND, not_found},
      {"on: /mcp?x", "POST /mcp?x HTTP/1.1\r\n\r\n", true, Next::SEND, not_found},
      {"on: /api/mcp", "GET /api/mcp HTTP/1.1\r\n", true, Next::SEND, not_found},
      {"on: the absolute form naming our address and port",
       replaced(request, "/mcp", "http://127.0.0.1:7577/mcp"), true, Next::SEND,
       "HTTP/1.1 200 OK\r\n", true},
      {"on: a target in absolute form that may yet be ours", "POST HTTP://127.0.0.1:7577/m", true,
       Next::READ_LINE, "(none)"},
      {"on: the start of a scheme", "POST htt", true, Next::READ_LINE, "(none)"},
      {"on: the absolute form, another port", "POST http://127.0.0.1:1/mcp HTTP/1.1\r\n\r\n", true,
       Next::SEND, not_found},
      {"on: the absolute form, another host", "POST http://evil.example:7577/mcp HTTP/1.1\r\n\r\n",
       true, Next::SEND, not_found},
      {"on: the absolute form, another scheme", "POST https://localhost:7577/mcp HTTP/1.1\r\n\r\n",
       true, Next::SEND, not_found},
      {"on: the dashboard's own", "GET /api/status HTTP/1.1\r\n", true, Next::SEND,
       framed("200 OK", "application/json", STATUS_BODY)},
      {"on: a body too large, left for the connection to drop", too_large, true, Next::SEND,
       "HTTP/1.1 413 Content Too Large\r\n", true, 2097152},
  };
  for (const auto& [what, bytes, on, next, response, prefix, unread_body] : cases) {
    ToolBudget budget{SIZE_MAX};
    ToolRequest tool_request(path, budget);
    std::string built;
    const auto outcome =
        answer_first_read(bytes, engine, fixed, on ? &tool_request : nullptr, built);
    EXPECT_EQ(outcome.next, next) << what;
    const std::string got = outcome.response == nullptr ? "(none)" : *outcome.response;
    EXPECT_EQ(prefix ? got.substr(0, response.size()) : got, response) << what;
    EXPECT_EQ(outcome.unread_body, unread_body) << what;
  }
}

// --- closing looks -------------------------------------------------------------------------

TEST(DrainSchedule, HandsOutEachEntryAtItsLookInTimeOrder) {
  using Schedule = DrainSchedule<int>;
  using std::chrono::milliseconds;
  const std::array<Schedule::Clock::duration, 2> delays = {milliseconds(2), milliseconds(20)};
  Schedule schedule(delays);
  const Schedule::Clock::time_point t0{};
  const auto handles = [](const std::vector<Schedule::Entry>& entries) {
    std::vector<int> out;
    for (const auto& entry : entries) out.push_back(entry.handle);
    return out;
  };

  EXPECT_EQ(schedule.next_due(), std::nullopt);
  schedule.add({1, t0 + milliseconds(1000)}, t0);
  schedule.add({2, t0 + milliseconds(1000), 0, 1}, t0 + milliseconds(1));  // second look: +20
  schedule.add({3, t0 + milliseconds(1000)}, t0 + milliseconds(5));
  EXPECT_EQ(schedule.next_due(), t0 + milliseconds(2));
  EXPECT_TRUE(schedule.take_due(t0 + milliseconds(1)).empty());
  EXPECT_EQ(handles(schedule.take_due(t0 + milliseconds(2))), std::vector<int>{1});
  EXPECT_EQ(schedule.next_due(), t0 + milliseconds(7));
  // Both queues due at once: the earlier look's entries come first.
  EXPECT_EQ(handles(schedule.take_due(t0 + milliseconds(30))), (std::vector<int>{3, 2}));
  EXPECT_EQ(schedule.next_due(), std::nullopt);

  EXPECT_TRUE(schedule.has_next_look(0));
  EXPECT_FALSE(schedule.has_next_look(1));
}

}  // namespace
}  // namespace qmr::ui
