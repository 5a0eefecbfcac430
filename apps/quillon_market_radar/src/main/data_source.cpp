#include "main/data_source.hpp"

#include <chrono>
#include <filesystem>
#include <utility>

#include "base/console.hpp"
#include "store/history.hpp"
#include "store/store.hpp"

namespace qmr::main {

namespace {

// Runs `read` on the store in `folder` inside one read transaction: each answer opens its own
// connection, so answers on several threads share nothing, and sees the store as one moment left
// it.
template <typename T, typename Read>
Result<T> read_store(const std::string& folder, Read read) {
  auto database = store::open_store_for_reading(std::filesystem::u8path(folder));
  if (!database.ok()) return database.error();
  auto transaction = store::Transaction::begin_reading(database.value());
  if (!transaction.ok()) return transaction.error();
  return read(database.value());
}

std::vector<engine::PricePoint> points_of(const std::vector<store::ObservedPrice>& series) {
  std::vector<engine::PricePoint> points;
  points.reserve(series.size());
  for (const store::ObservedPrice& price : series) points.push_back({price.at, price.paise});
  return points;
}

using Histories = std::vector<engine::ProductHistory>;

// Appends the histories of `sku_asin` on `platform`, or on each of its platforms, to `histories`.
Status append_histories(store::Database& database, const std::string& sku_asin,
                        const std::optional<std::string>& platform, Histories& histories) {
  auto stored = store::read_price_history(database, {sku_asin, platform, std::nullopt});
  if (!stored.ok()) return stored.error();
  for (const store::StoredHistory& history : stored.value()) {
    histories.push_back({history.sku_asin,
                         history.title,
                         history.platform,
                         points_of(history.ours),
                         points_of(history.competitor),
                         {history.floor_paise, history.ceiling_paise}});
  }
  return Done{};
}

}  // namespace

engine::HistorySourceHandle DataSource::history(const engine::HistorySettings& settings) const {
  if (!folder_) return nullptr;
  auto source = std::make_shared<engine::HistorySource>();
  source->read = [folder = *folder_](const std::string& sku_asin,
                                     const std::optional<std::string>& platform) {
    return read_store<Histories>(folder, [&](store::Database& database) -> Result<Histories> {
      Histories histories;
      if (auto read = append_histories(database, sku_asin, platform, histories); !read.ok()) {
        return read.error();
      }
      return histories;
    });
  };
  source->read_each = [folder = *folder_](const std::vector<engine::ProductOnPlatform>& products) {
    return read_store<Histories>(folder, [&](store::Database& database) -> Result<Histories> {
      Histories histories;
      for (const auto& [sku_asin, platform] : products) {
        if (auto read = append_histories(database, sku_asin, platform, histories); !read.ok()) {
          return read.error();
        }
      }
      return histories;
    });
  };
  source->read_all = [folder = *folder_] {
    return read_store<Histories>(folder, [&](store::Database& database) -> Result<Histories> {
      auto identifiers = store::read_history_identifiers(database);
      if (!identifiers.ok()) return identifiers.error();
      Histories histories;
      for (const std::string& sku_asin : identifiers.value()) {
        if (auto read = append_histories(database, sku_asin, std::nullopt, histories); !read.ok()) {
          return read.error();
        }
      }
      return histories;
    });
  };
  source->now = [] {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  source->settings = settings;
  return source;
}

Result<DataSource> DataSource::open(const DataFolder& data, bool live,
                                    std::optional<std::string_view> search) {
  if (!data) return DataSource(engine::MarketEngine::create());
  auto database = store::open_store_for_reading(std::filesystem::u8path(*data));
  if (!database.ok()) return database.error();
  // The version before the load: an import that finishes during it is loaded again at once.
  auto version = store::data_version(database.value());
  if (!version.ok()) return version.error();
  auto catalogue = search ? store::load_search(database.value(), *search)
                          : store::load_catalogue(database.value());
  if (!catalogue.ok()) return catalogue.error();
  DataSource source(engine::MarketEngine::from_catalogue(std::move(catalogue.value())));
  source.folder_ = data;
  if (live) {
    source.watcher_ = std::make_unique<store::StoreWatcher>(
        std::move(database.value()), version.value(),
        [target = source.live_](engine::Catalogue next) {
          target->publish(engine::MarketEngine::from_catalogue(std::move(next)));
        },
        // The last snapshot stays served; the failure is told once until the store reads again.
        [](const Error& error) {
          console::print_error("Warning: " + error.message +
                               " (still answering from the last "
                               "snapshot read)\n");
        });
  }
  return source;
}

}  // namespace qmr::main
