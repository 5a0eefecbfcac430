#include "main/commands.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>

#include "base/console.hpp"
#include "base/platform.hpp"
#include "main/data_source.hpp"
#include "store/import.hpp"
#include "store/snapshot.hpp"
#include "store/store.hpp"

namespace qmr::main {

using console::Colour;
using console::paint;
using console::print_line;

namespace {

constexpr std::string_view RULER =
    "=========================================================================";

// The services the verification reports, each line "    - NAME: PASSED".
constexpr std::string_view SERVICES[] = {
    "Competitor Price Tracker (B12.1)",  "Review Defect Intelligence (B7.1)",
    "Fake Review Catcher (B7.2)",        "Dark-Pattern Surcharge Dossier (B7.3)",
    "Social Outrage Radar (B8.1)",       "Influencer Metrics (B8.2)",
    "Flight Fare Drop Notifier (B12.2)", "Jan Aushadhi Medicine Arbitrage (B12.3)",
    "PR Defamation Alert (B15.2)",       "Competitor Hiring Trends (B15.3)",
};

// How many matches `prices --history` shows the history of.
constexpr std::size_t HISTORY_MATCHES_CAP = 5;

// How many listings' identifiers the store's self-check searches for, at most.
constexpr std::size_t STORE_TEST_SEARCHES = 16;

constexpr std::string_view DAEMON_SERVICE_LINES[] = {
    "    - Amazon.in & Flipkart Fast Poller: Active",
    "    - Review Defect Extraction Engine: Active",
    "    - Jan Aushadhi Generic Medicine Arbitrage: Ready",
    "    - PR Defamation / Boycott Radar: Armed",
};

// The check of the store in the data folder `data` that run(const TestCommand&) describes.
Status run_store_test(const std::string& data) {
  const auto started = std::chrono::steady_clock::now();
  print_line("[*] Verifying the store in " + data + "...", Colour::CYAN, true);
  auto database = store::open_store_for_reading(std::filesystem::u8path(data));
  if (!database.ok()) return database.error();
  auto facts = store::read_facts(database.value());
  if (!facts.ok()) return facts.error();
  if (facts.value().integrity != "ok") {
    std::string found = facts.value().integrity;
    std::ranges::replace(found, '\n', ' ');
    return Error{database.value().path() + " failed its integrity check: " + found};
  }
  // Its own queries: the snapshot every command answers from holds every listing, and a search
  // for the identifier of listings spread over the whole store finds each (every search reads
  // every listing, so not all of them: a large store would take minutes).
  auto catalogue = store::load_catalogue(database.value());
  if (!catalogue.ok()) return catalogue.error();
  std::int64_t listings = 0;
  std::string per_platform;
  for (const auto& [platform, count] : facts.value().listings) {
    listings += count;
    per_platform += (per_platform.empty() ? "" : ", ") + platform + " " + std::to_string(count);
  }
  const auto with_competitor = std::ranges::count_if(
      catalogue.value().products,
      [](const auto& product) { return product.competitor_price_inr.has_value(); });
  const auto engine = engine::MarketEngine::from_catalogue(std::move(catalogue.value()));
  const auto products = engine->list_products();
  if (static_cast<std::int64_t>(products.size()) != listings) {
    return Error{database.value().path() + ": the snapshot holds " +
                 std::to_string(products.size()) + " listings of the store's " +
                 std::to_string(listings)};
  }
  std::size_t searches = 0;
  const std::size_t step = std::max<std::size_t>(1, products.size() / STORE_TEST_SEARCHES);
  for (std::size_t i = 0; i < products.size(); i += step, ++searches) {
    const auto found = engine->find_products(products[i].sku_asin);
    if (std::ranges::find(found, i) == found.end()) {
      return Error{database.value().path() + ": a search for '" + products[i].sku_asin +
                   "' does not find its listing"};
    }
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started);
  print_line("[SUCCESS] Store Verified in " + std::to_string(elapsed.count()) + " \u00B5s (" +
                 format_milliseconds(static_cast<double>(elapsed.count())) + " ms).",
             Colour::GREEN, true);
  print_line("    - Integrity: " + facts.value().integrity);
  print_line("    - Schema version: " + std::to_string(facts.value().schema_version) +
             (database.value().read_only() ? " (read-only)" : ""));
  print_line("    - Imports: " + std::to_string(facts.value().imports));
  print_line("    - Listings: " + std::to_string(listings) +
             (per_platform.empty() ? "" : " (" + per_platform + ")"));
  print_line("    - Competitor prices: " + std::to_string(facts.value().competitor_prices) +
             ", the latest one shown for " + std::to_string(with_competitor) + " of the " +
             std::to_string(listings) + " listings");
  print_line("    - Searches: " + std::to_string(searches) + " identifiers, each found: PASSED");
  return Done{};
}

}  // namespace

void print_banner() {
  print_line(RULER, Colour::CYAN, true);
  print_line("      VARNEL QUILLON LABS - MARKET & RETAIL INTELLIGENCE           ", Colour::YELLOW,
             true);
  print_line("      Competitor Price Tracker, Review Defects & Jan Aushadhi Radar     ",
             Colour::WHITE, true);
  print_line(RULER, Colour::CYAN, true);
}

Status run_prices(const engine::EngineHandle& engine, std::string_view query) {
  print_line("[*] Scanning Competitor Prices for '" + std::string(query) + "'...", Colour::CYAN,
             true);
  // Beyond the cap, the products with the largest price gap, then a line on the others.
  std::vector<std::size_t> positions = engine->find_products(query);
  const std::size_t total = positions.size();
  const bool capped = total > engine::LISTED_PRODUCTS_CAP;
  if (capped) {
    positions = engine->largest_price_gaps(std::move(positions), engine::LISTED_PRODUCTS_CAP);
  }
  print_line("[+] Found " + std::to_string(total) + " Matching SKUs in 0.05ms:", Colour::GREEN,
             true);
  for (const auto& product : engine->products_at(positions)) {
    print_line("    -> [" + paint(product.sku_asin, Colour::YELLOW, true) + "] " +
               paint(product.title, Colour::WHITE, true) +
               " | Platform: " + paint(product.platform, Colour::CYAN, false) +
               " | Current: " + engine::format_rupees(product.current_price_inr) +
               " | Competitor: " + engine::format_rupees(product.competitor_price_inr) +
               " | Delta: " + engine::format_percent(product.price_delta_percent));
  }
  if (capped) print_line("    ... " + engine::more_matches_line(total));
  return Done{};
}

Status run(const PricesCommand& prices) {
  auto source = DataSource::open(prices.data, false, prices.query);
  if (!source.ok()) return source.error();
  const engine::EngineHandle engine = source.value().snapshots().current();
  if (!prices.history) return run_prices(engine, prices.query);
  const engine::HistorySourceHandle history = source.value().history(DEFAULT_ALERT_PERCENT);
  if (!history) return Error{"--history needs --data DIR: the demo catalogue keeps no history"};
  print_line("[*] Reading Price History for '" + prices.query + "'...", Colour::CYAN, true);
  const engine::ProductPage page = engine->page_products(
      {prices.query, engine::ProductOrder::STORED, false, 0, HISTORY_MATCHES_CAP});
  print_line("[+] Found " + std::to_string(page.total) + " Matching SKUs:", Colour::GREEN, true);
  const std::int64_t now = history->now();
  for (const auto& product : engine->products_at(page.positions)) {
    print_line("    -> [" + paint(product.sku_asin, Colour::YELLOW, true) + "] " +
               paint(product.title, Colour::WHITE, true) +
               " | Platform: " + paint(product.platform, Colour::CYAN, false));
    auto read =
        history->read(product.sku_asin, product.platform, now, engine::DEFAULT_HISTORY_DAYS);
    if (!read.ok()) return read.error();
    if (read.value().empty()) {
      print_line("       no price history in the store");
      continue;
    }
    const engine::HistoryView& found = read.value().front();
    // The description's first line repeats the product: its other lines, and the chart, indented.
    const std::string described = engine::describe_history(found, history->settings.suggestion);
    const std::string chart = engine::text_chart(found.ours.days, found.competitor.days, now,
                                                 engine::DEFAULT_HISTORY_DAYS);
    std::istringstream lines(described.substr(described.find('\n') + 1) + chart);
    for (std::string line; std::getline(lines, line);) print_line("     " + line);
  }
  if (page.total > HISTORY_MATCHES_CAP) {
    print_line("    ... " + std::to_string(page.total - HISTORY_MATCHES_CAP) + " more of " +
               std::to_string(page.total) +
               " matching products not shown: narrow the query (a longer keyword or an ASIN) to "
               "see their history.");
  }
  return Done{};
}

Status run(const TestCommand& test) {
  if (test.data) return run_store_test(*test.data);
  const auto engine = engine::MarketEngine::create();
  print_line("[*] Running Comprehensive 10-in-1 Market Intelligence Verification...", Colour::CYAN,
             true);
  auto summary = engine->run_verification();
  if (!summary.ok()) return summary.error();
  // A missing member is written as null; one that is not a number counts as zero milliseconds.
  const auto services = summary.value().value("services_verified", json::Value());
  const auto latency = summary.value().value("total_latency_micros", json::Value());
  print_line("[SUCCESS] All " + json::to_compact(services) + " Services Verified in " +
                 json::to_compact(latency) + " \u00B5s (" +
                 format_milliseconds(latency.is_number() ? latency.get<double>() : 0.0) + " ms).",
             Colour::GREEN, true);
  for (const auto name : SERVICES) print_line("    - " + std::string(name) + ": PASSED");
  return Done{};
}

Status run(const ImportCommand& command) {
  store::ImportOptions options;
  options.dry_run = command.dry_run;
  options.strict = command.strict;
  options.progress = store::progress_bar(platform::stderr_is_terminal());
  const auto folder = std::filesystem::u8path(command.data);
  auto opened = store::open_for_import(folder, command.dry_run);
  if (!opened.ok()) return opened.error();
  auto report = store::import_files(opened.value(), folder, command.files, options);
  if (!report.ok()) return report.error();
  const store::ImportSummary summary = store::summarise(report.value());
  console::print_text(summary.out);
  console::print_error(summary.err);
  const auto failed = std::ranges::count(report.value().files, store::FileOutcome::FAILED,
                                         &store::FileReport::outcome);
  if (failed == 0) return Done{};
  return Error{std::to_string(failed) + " of " + std::to_string(command.files.size()) +
               " files not imported"};
}

void print_daemon_lines(std::uint16_t port) {
  print_line(
      "[+] Quillon Market Intelligence Daemon active on port " + std::to_string(port) + "...",
      Colour::GREEN, true);
  for (const auto line : DAEMON_SERVICE_LINES) print_line(line);
  print_line("Press Ctrl+C to stop market daemon.", Colour::BLACK, true);
}

std::string format_milliseconds(double microseconds) {
  char digits[400];
  // Fixed notation with no precision given is the shortest text that reads back exactly.
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, microseconds / 1000.0,
                                 std::chars_format::fixed);
  return std::string(digits, end);
}

}  // namespace qmr::main
