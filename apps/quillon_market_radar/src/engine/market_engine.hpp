// The in-memory market store: four collections, each behind its own lock, seeded once at start-up
// and only read afterwards. Every read returns a deep copy, so no lock outlives the call.
#pragma once

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
};

class MarketEngine {
 public:
  /// Returns a new engine filled with the seed catalogue; the product rows carry the current
  /// UTC time as their last check.
  [[nodiscard]] static std::shared_ptr<const MarketEngine> create();

  /// Returns an engine holding exactly `rows`, for callers that need another catalogue.
  [[nodiscard]] static std::shared_ptr<const MarketEngine> from_catalogue(Catalogue rows);

  /// Returns the seed catalogue, with product check times read from the clock row by row.
  [[nodiscard]] static Catalogue seed_catalogue();

  /// Return copies of whole collections in stored order.
  [[nodiscard]] std::vector<TrackedProduct> list_products() const;
  [[nodiscard]] std::vector<ReviewIntel> list_review_intel() const;
  [[nodiscard]] std::vector<MedicineArbitrage> list_medicines() const;
  [[nodiscard]] std::vector<SocialPost> list_social_posts() const;

  /// Returns copies of the products whose title, identifier, seller SKU or platform contains the
  /// query, all compared lower-cased with the full Unicode mapping. An empty query matches all.
  [[nodiscard]] std::vector<TrackedProduct> search_products(std::string_view query) const;

  /// Returns the stored positions (indices into list_products(), ascending) of the products
  /// search_products returns for `query`, without copying them.
  [[nodiscard]] std::vector<std::size_t> find_products(std::string_view query) const;

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
  template <typename Row>
  struct Collection {
    mutable std::mutex mutex;
    std::vector<Row> rows;

    std::vector<Row> copy() const {
      std::lock_guard lock(mutex);
      return rows;
    }
  };

  // The lower-cased fields a search compares, for the product at the same position.
  struct SearchKeys {
    std::string title;
    std::string sku_asin;
    std::string seller_sku;
    std::string platform;
  };

  MarketEngine() = default;

  Collection<TrackedProduct> products_;
  // Filled with the products and, like every row, never changed afterwards, so the lower-casing
  // of the stored text is done once rather than on every search.
  std::vector<SearchKeys> search_keys_;
  std::size_t longest_search_key_ = 0;
  Collection<ReviewIntel> reviews_;
  Collection<MedicineArbitrage> medicines_;
  Collection<SocialPost> social_posts_;
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
