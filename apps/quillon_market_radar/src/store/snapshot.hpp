// The snapshot the store gives the engine: every listing joined with the latest competitor price
// for its identifier and platform and the matched medicines, read in one read transaction, as the
// records every command answers with; what the self-check counts; and the watcher that loads a new
// snapshot once an import has finished.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/result.hpp"
#include "engine/market_engine.hpp"
#include "store/sqlite.hpp"

namespace qmr::store {

/// A listing's figures as the store holds them: money in paise, times in microseconds since
/// 1970 UTC; empty where the store has none.
struct ListingFigures {
  std::optional<std::int64_t> mrp_paise;
  std::optional<std::int64_t> price_paise;
  std::optional<std::int64_t> quantity;
  std::int64_t listed_at = 0;  // when the import that last changed the listing ran
  std::optional<std::int64_t> competitor_paise;
  std::optional<std::int64_t> observed_at;  // with competitor_paise
};

/// The most units a listing has for LOW_STOCK rather than IN_STOCK.
inline constexpr std::int64_t LOW_STOCK_UNITS = 5;

/// Fills `product`'s figures from `figures`: the MRP as the original price (our price when there
/// is none), our price, the competitor's, the delta of the two truncated toward zero to two
/// decimals (computed in paise, exactly), the stock status from the quantity (OUT_OF_STOCK at 0,
/// LOW_STOCK up to LOW_STOCK_UNITS, IN_STOCK above, UNKNOWN without a count) and the time of the
/// newest figure.
void fill_figures(const ListingFigures& figures, engine::TrackedProduct& product);

/// Returns the store's listings, in the order they were first imported, each with the latest
/// competitor price for its identifier and platform, and its branded medicines matched to their
/// Jan Aushadhi generics (load_medicine_matches), all read in one read transaction; no reviews
/// yet. The catalogue's medicines answer a query. Returns the store's error when it cannot be read.
[[nodiscard]] Result<engine::Catalogue> load_catalogue(Database& database);

/// Returns the listings of the store that a search for `query` finds (the engine's search: its
/// lower case in the lower case of a title, identifier, seller SKU or platform), as load_catalogue
/// gives them and in its order; no medicines. A command that answers one search reads only them.
[[nodiscard]] Result<engine::Catalogue> load_search(Database& database, std::string_view query);

/// What the self-check finds in a store.
struct StoreFacts {
  std::string integrity;  // "ok", or what SQLite's check found
  std::int64_t schema_version = 0;
  std::int64_t imports = 0;
  std::vector<std::pair<std::string, std::int64_t>> listings;  // per platform, by name
  std::int64_t competitor_prices = 0;
};

/// Returns what `database` holds, its integrity checked, read in one read transaction.
[[nodiscard]] Result<StoreFacts> read_facts(Database& database);

/// Watches a store for finished imports from a thread of its own: every `period` it asks SQLite
/// whether another connection has committed since it last looked, and if so loads the catalogue
/// again in one read transaction and hands it to `publish`. A store that cannot be read is told
/// to `report` once per failure in a row, and the last catalogue stays. Stops when destroyed.
class StoreWatcher {
 public:
  using Publish = std::function<void(engine::Catalogue)>;
  using Report = std::function<void(const Error&)>;

  /// The period of a running server: an import is seen within it and its load.
  static constexpr std::chrono::milliseconds PERIOD{250};

  /// Starts watching `database`, whose catalogue the caller has just loaded with
  /// load_catalogue; a change after that load is seen at the first look.
  StoreWatcher(Database database, std::int64_t loaded_version, Publish publish, Report report,
               std::chrono::milliseconds period = PERIOD);
  StoreWatcher(const StoreWatcher&) = delete;
  StoreWatcher& operator=(const StoreWatcher&) = delete;

 private:
  std::jthread thread_;
};

/// Returns PRAGMA data_version of `database`: it changes when another connection commits.
[[nodiscard]] Result<std::int64_t> data_version(Database& database);

}  // namespace qmr::store
