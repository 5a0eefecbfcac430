// The in-memory market store: four collections, filled when the engine is made and only read
// afterwards, so that any number of threads read them without a lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_writer.hpp"
#include "base/result.hpp"
#include "engine/records.hpp"

namespace qmr::engine {

/// The rows of a snapshot, in stored order, whichever source they come from (the seed catalogue,
/// the seller's store).
struct Catalogue {
  std::vector<TrackedProduct> products;
  std::vector<ReviewIntel> reviews;
  std::vector<MedicineArbitrage> medicines;
  std::vector<SocialPost> social_posts;
  /// The seller's own SKU of the product at the same position, which a search compares but no
  /// record carries; shorter than `products` (empty for the seed catalogue) where there is none.
  std::vector<std::string> seller_skus;
  /// Whether the medicines answer a query of a brand or a salt (a store's matches, in answer
  /// order); the seed catalogue's are listed whole, whatever is asked.
  bool medicine_queries = false;
};

/// What a page of products is ordered by: the stored order, one of the record's fields (text
/// fields lower-cased as a search compares them), or the price gap (price_gap).
enum class ProductOrder : std::uint8_t {
  STORED,
  SKU_ASIN,
  TITLE,
  PLATFORM,
  ORIGINAL_PRICE,
  CURRENT_PRICE,
  COMPETITOR_PRICE,
  PRICE_DELTA,
  PRICE_GAP,
  STOCK_STATUS,
  LAST_CHECKED,
};
inline constexpr std::size_t PRODUCT_ORDER_COUNT = 11;

/// One page of a search: the products matching `query`, in `order` (ascending, or descending
/// with `descending`; equal keys stay in stored order, and products without the key come last
/// either way), from the `offset`-th match on, at most `limit` of them.
struct ProductPageQuery {
  std::string_view query;
  ProductOrder order = ProductOrder::STORED;
  bool descending = false;
  std::size_t offset = 0;
  std::size_t limit = 0;
};

/// A page of products: how many matched in all, and the stored positions of the page's rows in
/// page order (indices into list_products()).
struct ProductPage {
  std::size_t total = 0;
  std::vector<std::size_t> positions;
};

/// The most products a tool result or the console lists for one search: beyond it, those with
/// the largest price gap, and a line on the others (more_matches_line).
inline constexpr std::size_t LISTED_PRODUCTS_CAP = 50;

/// Returns the line that follows a list cut to LISTED_PRODUCTS_CAP of `total` matches: how many
/// more matched and how to narrow the search. No line break.
[[nodiscard]] std::string more_matches_line(std::size_t total);

class MarketEngine {
 public:
  /// Returns a new engine filled with the seed catalogue; the product rows carry the current
  /// UTC time as their last check.
  [[nodiscard]] static std::shared_ptr<const MarketEngine> create();

  /// Returns an engine holding exactly `rows`, for callers that need another catalogue.
  [[nodiscard]] static std::shared_ptr<const MarketEngine> from_catalogue(Catalogue rows);

  /// Returns the seed catalogue, with product check times read from the clock row by row.
  [[nodiscard]] static Catalogue seed_catalogue();

  /// Returns how many products there are.
  [[nodiscard]] std::size_t product_count() const { return rows_.products.size(); }

  /// Return copies of whole collections in stored order.
  [[nodiscard]] std::vector<TrackedProduct> list_products() const { return rows_.products; }
  [[nodiscard]] std::vector<ReviewIntel> list_review_intel() const { return rows_.reviews; }
  [[nodiscard]] std::vector<MedicineArbitrage> list_medicines() const { return rows_.medicines; }
  [[nodiscard]] std::vector<SocialPost> list_social_posts() const { return rows_.social_posts; }

  /// Returns copies of the products whose title, identifier, seller SKU or platform contains the
  /// query, all compared lower-cased with the full Unicode mapping. An empty query matches all.
  [[nodiscard]] std::vector<TrackedProduct> search_products(std::string_view query) const;

  /// Returns the stored positions (indices into list_products(), ascending) of the products
  /// search_products returns for `query`, without copying them.
  [[nodiscard]] std::vector<std::size_t> find_products(std::string_view query) const;

  /// Returns the page of the products that `query` asks for, without copying any product. An
  /// offset past the last match gives an empty page with the total.
  [[nodiscard]] ProductPage page_products(const ProductPageQuery& query) const;

  /// Returns at most `limit` of `positions` (stored positions, ascending, as find_products gives
  /// them) in the order of page_products by descending price gap: the largest gap first, equal
  /// gaps in stored order, products without a gap last. Sorts only the matches, and only as far
  /// as the limit, where page_products sorts every product once per engine.
  [[nodiscard]] std::vector<std::size_t> largest_price_gaps(std::vector<std::size_t> positions,
                                                            std::size_t limit) const;

  /// Returns the compact JSON array of the products at `positions` (as page_products gives
  /// them), in that order, written from the rows themselves.
  [[nodiscard]] std::string encode_products_at(const std::vector<std::size_t>& positions) const;

  /// Returns copies of the products at `positions` (as page_products gives them), in that order.
  [[nodiscard]] std::vector<TrackedProduct> products_at(
      const std::vector<std::size_t>& positions) const;

  /// Returns Catalogue::medicine_queries of the rows the engine was made from.
  [[nodiscard]] bool medicine_queries() const { return rows_.medicine_queries; }

  /// Returns the length in bytes of the longest lower-cased field a search compares: a query
  /// whose lower case is longer matches nothing.
  [[nodiscard]] std::size_t longest_search_key() const { return longest_search_key_; }

  /// Exercises every collection and the price-drop alert and returns the timed summary object.
  /// Returns the alert's error when the alert cannot be built; stops the process on a failed check.
  [[nodiscard]] Result<json::Value> run_verification() const;

  /// Returns the dispatch record of the price-drop alert for B09G9FPHY6 addressed to
  /// `webhook_target`, or the error "Product ASIN 'B09G9FPHY6' not found". Sends nothing.
  [[nodiscard]] Result<json::Value> dispatch_price_alert(std::string_view webhook_target) const;

 private:
  // The fields a search compares, in the order of a product's bounds in search_bounds_.
  enum SearchField : std::size_t { TITLE_KEY, SKU_ASIN_KEY, SELLER_SKU_KEY, PLATFORM_KEY, KEYS };

  // The stored positions of every product in one order and direction, sorted on first use: the
  // products never change, so each order is sorted at most once per engine.
  struct SortedPositions {
    std::once_flag sorted;
    std::vector<std::uint32_t> positions;
  };

  MarketEngine() = default;

  [[nodiscard]] std::string_view search_key(std::size_t position, SearchField field) const {
    const std::size_t at = position * KEYS + field;
    return std::string_view(search_text_)
        .substr(search_bounds_[at], search_bounds_[at + 1] - search_bounds_[at]);
  }
  [[nodiscard]] bool matches(std::size_t position, std::string_view needle) const;
  [[nodiscard]] const std::vector<std::uint32_t>& sorted_positions(ProductOrder order,
                                                                   bool descending) const;

  // The rows the engine was made from; their seller SKUs are kept only in search_text_.
  Catalogue rows_;
  // Filled with the products and, like every row, never changed afterwards, so the lower-casing
  // of the stored text is done once rather than on every search: every product's lower-cased
  // fields end to end in one text, field `f` of product `i` from search_bounds_[i * KEYS + f] to
  // the next bound. Four strings a product held 19 MB for 100,000 listings, this about 8 MB.
  std::string search_text_;
  std::vector<std::uint32_t> search_bounds_;
  mutable std::array<SortedPositions, 2 * PRODUCT_ORDER_COUNT> sorted_;

  std::size_t longest_search_key_ = 0;
};

/// The shared, reference-counted handle through which every command and task reaches the store.
using EngineHandle = std::shared_ptr<const MarketEngine>;

/// Returns `number` in fixed-point notation with exactly two decimals, correctly rounded from the
/// binary value, with a leading "-" when negative and no thousands separators.
[[nodiscard]] std::string format_fixed2(double number);

/// Returns a price as the console and the alert write it, "₹1299.00", or "none" when empty.
[[nodiscard]] std::string format_rupees(const std::optional<double>& rupees);

/// Returns a delta as the console and the alert write it, "-11.54%", or "none" when empty.
[[nodiscard]] std::string format_percent(const std::optional<double>& percent);

}  // namespace qmr::engine
