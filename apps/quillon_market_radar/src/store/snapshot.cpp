#include "store/snapshot.hpp"

#include <algorithm>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <utility>

#include "base/text.hpp"
#include "engine/records.hpp"
#include "store/medicines.hpp"
#include "store/store.hpp"

namespace qmr::store {

namespace {

// Every listing with the figures of its latest competitor price, if any (kept on its row by the
// imports), in the order the listings were first imported.
constexpr std::string_view CATALOGUE_COLUMNS =
    "SELECT l.sku_asin, l.title, l.platform, l.seller_sku, l.mrp_paise, l.price_paise, "
    "l.quantity, i.imported_at, l.competitor_paise, l.competitor_at "
    "FROM listings AS l JOIN imports AS i ON i.id = l.import_id ";
constexpr std::string_view CATALOGUE_ORDER = "ORDER BY l.rowid";
// Only the listings a search finds: SQLite tests each listing's own fields before it seeks its
// import's time, so the others cost a scan of their text.
constexpr std::string_view SEARCH_CONDITION =
    "WHERE search_match(?1, l.title, l.sku_asin, l.seller_sku, l.platform) ";

// Whether a lower-cased needle (the first text) is empty or in one of the other texts
// lower-cased, as the engine's search compares them.
bool search_match(std::span<const std::string_view> texts) {
  return std::any_of(texts.begin() + 1, texts.end(), [needle = texts.front()](auto field) {
    return text::lowered_contains(field, needle);
  });
}

constexpr std::string_view LISTINGS_PER_PLATFORM =
    "SELECT platform, count(*) FROM listings GROUP BY platform ORDER BY platform";

// Returns paise as rupees: 129900 is 1299.0, exactly the double of the decimal text.
double rupees(std::int64_t paise) { return static_cast<double>(paise) / 100.0; }

// Returns (competitor - ours) / ours in hundredths of a percent, truncated toward zero. Prices
// are at most 10^12 paise, so the product fits in 64 bits.
std::int64_t delta_hundredths(std::int64_t ours, std::int64_t competitor) {
  return (competitor - ours) * 10'000 / ours;
}

std::string_view stock_status(const std::optional<std::int64_t>& quantity) {
  if (!quantity) return "UNKNOWN";
  if (*quantity == 0) return "OUT_OF_STOCK";
  if (*quantity <= LOW_STOCK_UNITS) return "LOW_STOCK";
  return "IN_STOCK";
}

}  // namespace

void fill_figures(const ListingFigures& figures, engine::TrackedProduct& product) {
  const auto price = [](const std::optional<std::int64_t>& paise) -> std::optional<double> {
    if (!paise) return std::nullopt;
    return rupees(*paise);
  };
  product.original_price_inr = price(figures.mrp_paise ? figures.mrp_paise : figures.price_paise);
  product.current_price_inr = price(figures.price_paise);
  product.competitor_price_inr = price(figures.competitor_paise);
  product.price_delta_percent.reset();
  if (figures.price_paise && figures.competitor_paise && *figures.price_paise > 0) {
    product.price_delta_percent =
        static_cast<double>(delta_hundredths(*figures.price_paise, *figures.competitor_paise)) /
        100.0;
  }
  product.stock_status = stock_status(figures.quantity);
  const std::int64_t newest =
      figures.observed_at ? std::max(figures.listed_at, *figures.observed_at) : figures.listed_at;
  product.last_checked_utc = engine::format_rfc3339_utc_micros(newest);
}

namespace {

// Reads the listings of `sql` with their figures into `catalogue`, ?1 bound to `search` if any.
Status read_listings(Database& database, const std::string& sql,
                     std::optional<std::string_view> search, engine::Catalogue& catalogue) {
  auto statement = database.prepare(sql);
  if (!statement.ok()) return statement.error();
  Statement& rows = statement.value();
  if (search) rows.bind(1, *search);
  for (;;) {
    auto row = rows.step();
    if (!row.ok()) return row.error();
    if (!row.value()) return Done{};
    engine::TrackedProduct& product = catalogue.products.emplace_back();
    product.sku_asin = rows.text(0);
    product.title = rows.text(1);
    product.platform = rows.text(2);
    catalogue.seller_skus.emplace_back(rows.text(3));
    fill_figures({rows.optional_integer(4), rows.optional_integer(5), rows.optional_integer(6),
                  rows.integer(7), rows.optional_integer(8), rows.optional_integer(9)},
                 product);
  }
}

}  // namespace

Result<engine::Catalogue> load_catalogue(Database& database) {
  auto transaction = Transaction::begin_reading(database);
  if (!transaction.ok()) return transaction.error();
  engine::Catalogue catalogue;
  // Sized once: a vector grown row by row holds up to twice the 22 MB of 100,000 records.
  auto count = database.query_integer("SELECT count(*) FROM listings");
  if (!count.ok()) return count.error();
  catalogue.products.reserve(static_cast<std::size_t>(count.value()));
  catalogue.seller_skus.reserve(static_cast<std::size_t>(count.value()));
  const std::string sql = std::string(CATALOGUE_COLUMNS) + std::string(CATALOGUE_ORDER);
  if (auto read = read_listings(database, sql, std::nullopt, catalogue); !read.ok()) {
    return read.error();
  }
  auto medicines = load_medicine_matches(database);
  if (!medicines.ok()) return medicines.error();
  catalogue.medicines = std::move(medicines.value());
  catalogue.medicine_queries = true;
  if (auto done = transaction.value().commit(); !done.ok()) return done.error();
  return catalogue;
}

Result<engine::Catalogue> load_search(Database& database, std::string_view query) {
  if (auto defined = database.define_predicate("search_match", 5, search_match); !defined.ok()) {
    return defined.error();
  }
  // The search reads every listing once: mapped, the file's pages come without a read each.
  if (auto mapped = database.execute("PRAGMA mmap_size = 1073741824"); !mapped.ok()) {
    return mapped.error();
  }
  auto transaction = Transaction::begin_reading(database);
  if (!transaction.ok()) return transaction.error();
  engine::Catalogue catalogue;
  // Room for every listing (their last rowid, found at once, is at least their count), up to a
  // million, so that the records are not moved: only the pages the matches are written to become
  // resident.
  auto last = database.query_integer("SELECT min(coalesce(max(rowid), 0), 1048576) FROM listings");
  if (!last.ok()) return last.error();
  catalogue.products.reserve(static_cast<std::size_t>(last.value()));
  catalogue.seller_skus.reserve(static_cast<std::size_t>(last.value()));
  const std::string sql =
      std::string(CATALOGUE_COLUMNS) + std::string(SEARCH_CONDITION) + std::string(CATALOGUE_ORDER);
  if (auto read = read_listings(database, sql, text::to_lower(query), catalogue); !read.ok()) {
    return read.error();
  }
  if (auto done = transaction.value().commit(); !done.ok()) return done.error();
  return catalogue;
}

Result<StoreFacts> read_facts(Database& database) {
  auto transaction = Transaction::begin_reading(database);
  if (!transaction.ok()) return transaction.error();
  StoreFacts facts;
  auto integrity = check_integrity(database);
  if (!integrity.ok()) return integrity.error();
  facts.integrity = std::move(integrity.value());
  for (auto [count, sql] :
       {std::pair{&facts.schema_version, "PRAGMA user_version"},
        std::pair{&facts.imports, "SELECT count(*) FROM imports"},
        std::pair{&facts.competitor_prices, "SELECT count(*) FROM competitor_prices"}}) {
    auto value = database.query_integer(sql);
    if (!value.ok()) return value.error();
    *count = value.value();
  }
  auto statement = database.prepare(LISTINGS_PER_PLATFORM);
  if (!statement.ok()) return statement.error();
  for (;;) {
    auto row = statement.value().step();
    if (!row.ok()) return row.error();
    if (!row.value()) break;
    facts.listings.emplace_back(statement.value().text(0), statement.value().integer(1));
  }
  if (auto done = transaction.value().commit(); !done.ok()) return done.error();
  return facts;
}

Result<std::int64_t> data_version(Database& database) {
  return database.query_integer("PRAGMA data_version");
}

StoreWatcher::StoreWatcher(Database database, std::int64_t loaded_version, Publish publish,
                           Report report, std::chrono::milliseconds period)
    : thread_([database = std::move(database), loaded_version, publish = std::move(publish),
               report = std::move(report), period](std::stop_token stop) mutable {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::int64_t seen = loaded_version;
        bool failing = false;
        std::unique_lock lock(mutex);
        for (;;) {
          // Nothing notifies `wake`: the wait ends when the period is over or a stop is asked for.
          static_cast<void>(wake.wait_for(lock, stop, period, [] { return false; }));
          if (stop.stop_requested()) return;
          auto version = data_version(database);
          if (version.ok() && version.value() == seen) continue;
          // The version is read before the load: a commit between the two is seen next time.
          Result<engine::Catalogue> catalogue =
              version.ok() ? load_catalogue(database) : Result<engine::Catalogue>(version.error());
          if (!catalogue.ok()) {
            if (!std::exchange(failing, true)) report(catalogue.error());
            continue;
          }
          failing = false;
          seen = version.value();
          publish(std::move(catalogue.value()));
        }
      }) {}

}  // namespace qmr::store
