#include "engine/market_engine.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>

#include "base/text.hpp"

namespace qmr::engine {

namespace {

// The identifier of the product every price-drop alert is built for.
constexpr std::string_view ALERT_ASIN = "B09G9FPHY6";
constexpr std::string_view VERIFICATION_WEBHOOK_TARGET = "http://localhost:8080/verify";

void check_count(std::size_t found, std::string_view collection) {
  if (found != 1) {
    fatal("assertion `left == right` failed: " + std::string(collection) +
          " records\n  left: " + std::to_string(found) + "\n right: 1");
  }
}

// Returns the price-drop alert text for `product`: eight lines, no final line feed.
std::string format_price_alert(const TrackedProduct& product) {
  return "\U0001F6D2 *COMPETITOR PRICE DROP ALERT*\n\n*Product:* " + product.title + "\n*ASIN:* " +
         product.sku_asin + "\n*Competitor Price:* " + format_rupees(product.competitor_price_inr) +
         "\n*Our Current Price:* " + format_rupees(product.current_price_inr) + "\n*Difference:* " +
         format_percent(product.price_delta_percent) + "\n*Action:* Auto-reprice recommended.";
}

}  // namespace

Catalogue MarketEngine::seed_catalogue() {
  Catalogue rows;
  // Each product reads the clock when it is built, so the first is never later than the second.
  rows.products.push_back({"B09G9FPHY6", "Noise ColorFit Pulse Grand Smart Watch", "Amazon.in",
                           1999.0, 1299.0, 1149.0, -11.54, "IN_STOCK", now_rfc3339_utc()});
  rows.products.push_back({"SKU-BOAT-AIRDOPES-141", "boAt Airdopes 141 ANC TWS Earbuds", "Flipkart",
                           1499.0, 1399.0, 1349.0, -3.57, "LOW_STOCK", now_rfc3339_utc()});
  rows.reviews.push_back(
      {"B09G9FPHY6",
       4200,
       28.4,
       {"Display flickering after 30 days (14.2%)", "Charging dock magnetic pin loose (9.8%)",
        "Inaccurate step counter algorithm (7.1%)"},
       8.6});
  rows.medicines.push_back(MedicineArbitrage{
      "Augmentin 625 Duo Tablet", 204.0, "Amoxycillin (500mg) + Clavulanic Acid (125mg)",
      "Amoxycillin & Potassium Clavulanate Tablets IP 625mg", 58.0, 71.57});
  rows.social_posts.push_back(SocialPost{
      "VarnelLabs", "Twitter / X", "POSITIVE_VIRAL",
      "Entrepreneurs celebrating zero cloud SaaS subscription bill with Quillon Tidewick", 0.94});
  return rows;
}

std::shared_ptr<const MarketEngine> MarketEngine::create() {
  return from_catalogue(seed_catalogue());
}

std::shared_ptr<const MarketEngine> MarketEngine::from_catalogue(Catalogue rows) {
  // No other thread can see the engine before it is returned, so filling it needs no lock.
  std::shared_ptr<MarketEngine> engine(new MarketEngine());
  engine->products_.rows = std::move(rows.products);
  const auto& products = engine->products_.rows;
  engine->search_keys_.reserve(products.size());
  for (std::size_t i = 0; i < products.size(); ++i) {
    const std::string_view seller_sku =
        i < rows.seller_skus.size() ? std::string_view(rows.seller_skus[i]) : std::string_view();
    engine->search_keys_.push_back(
        SearchKeys{text::to_lower(products[i].title), text::to_lower(products[i].sku_asin),
                   text::to_lower(seller_sku), text::to_lower(products[i].platform)});
    const SearchKeys& keys = engine->search_keys_.back();
    engine->longest_search_key_ =
        std::max({engine->longest_search_key_, keys.title.size(), keys.sku_asin.size(),
                  keys.seller_sku.size(), keys.platform.size()});
  }
  engine->reviews_.rows = std::move(rows.reviews);
  engine->medicines_.rows = std::move(rows.medicines);
  engine->social_posts_.rows = std::move(rows.social_posts);
  return engine;
}

std::vector<TrackedProduct> MarketEngine::list_products() const { return products_.copy(); }
std::vector<ReviewIntel> MarketEngine::list_review_intel() const { return reviews_.copy(); }
std::vector<MedicineArbitrage> MarketEngine::list_medicines() const { return medicines_.copy(); }
std::vector<SocialPost> MarketEngine::list_social_posts() const { return social_posts_.copy(); }

std::vector<std::size_t> MarketEngine::find_products(std::string_view query) const {
  const std::string needle = text::to_lower(query);
  std::vector<std::size_t> positions;
  std::lock_guard lock(products_.mutex);
  for (std::size_t i = 0; i < search_keys_.size(); ++i) {
    const SearchKeys& keys = search_keys_[i];
    if (keys.title.find(needle) != std::string::npos ||
        keys.sku_asin.find(needle) != std::string::npos ||
        keys.seller_sku.find(needle) != std::string::npos ||
        keys.platform.find(needle) != std::string::npos) {
      positions.push_back(i);
    }
  }
  return positions;
}

std::vector<TrackedProduct> MarketEngine::search_products(std::string_view query) const {
  const std::vector<std::size_t> positions = find_products(query);
  std::vector<TrackedProduct> matches;
  std::lock_guard lock(products_.mutex);
  for (const std::size_t position : positions) matches.push_back(products_.rows[position]);
  return matches;
}

Result<json::Value> MarketEngine::run_verification() const {
  const auto started = std::chrono::steady_clock::now();

  if (search_products("Noise").empty()) fatal("assertion failed: !prods.is_empty()");
  check_count(list_review_intel().size(), "review");
  check_count(list_medicines().size(), "medicine");
  check_count(list_social_posts().size(), "social post");

  auto alert = dispatch_price_alert(VERIFICATION_WEBHOOK_TARGET);
  if (!alert.ok()) return alert.error();
  const auto status = alert.value().find("status");
  if (status == alert.value().end() || !status->is_string() ||
      status->get_ref<const std::string&>() != "PRICE_ALERT_DISPATCHED") {
    fatal("assertion `left == right` failed: alert status\n  left: " +
          (status == alert.value().end() ? std::string("missing") : status->dump()) +
          "\n right: \"PRICE_ALERT_DISPATCHED\"");
  }

  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started);
  return json::Value{{"suite", "Quillon Market & Retail Intelligence (Suite 3)"},
                     {"services_verified", std::uint64_t{10}},
                     {"all_passed", true},
                     {"total_latency_micros", static_cast<std::uint64_t>(elapsed.count())},
                     {"ram_consumption_mb", 11.2}};
}

Result<json::Value> MarketEngine::dispatch_price_alert(std::string_view webhook_target) const {
  std::lock_guard lock(products_.mutex);
  for (const auto& product : products_.rows) {
    if (product.sku_asin != ALERT_ASIN) continue;
    return json::Value{{"status", "PRICE_ALERT_DISPATCHED"},
                       {"webhook_target", webhook_target},
                       {"asin", product.sku_asin},
                       {"payload_message", format_price_alert(product)},
                       {"latency_micros", std::uint64_t{19}}};
  }
  return Error{"Product ASIN '" + std::string(ALERT_ASIN) + "' not found"};
}

std::string format_fixed2(double number) {
  char digits[400];  // the longest fixed text of a double with two decimals is about 312 bytes
  auto [end, ec] =
      std::to_chars(digits, digits + sizeof digits, number, std::chars_format::fixed, 2);
  return std::string(digits, end);
}

std::string format_rupees(const std::optional<double>& rupees) {
  return rupees ? "\u20B9" + format_fixed2(*rupees) : "none";
}

std::string format_percent(const std::optional<double>& percent) {
  return percent ? format_fixed2(*percent) + "%" : "none";
}

}  // namespace qmr::engine
