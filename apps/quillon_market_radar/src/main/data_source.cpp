#include "main/data_source.hpp"

#include <chrono>
#include <filesystem>
#include <utility>

#include "base/console.hpp"
#include "store/history.hpp"
#include "store/store.hpp"

namespace qmr::main {

namespace {

// Runs `read` with `arguments` on the store in `folder` inside one read transaction: each answer
// opens its own connection, so answers on several threads share nothing, and sees the store as one
// moment left it.
template <typename Read, typename... Arguments>
auto read_store(const std::string& folder, Read read, const Arguments&... arguments)
    -> decltype(read(std::declval<store::Database&>(), arguments...)) {
  auto database = store::open_store_for_reading(std::filesystem::u8path(folder));
  if (!database.ok()) return database.error();
  auto transaction = store::Transaction::begin_reading(database.value());
  if (!transaction.ok()) return transaction.error();
  return read(database.value(), arguments...);
}

}  // namespace

engine::HistorySourceHandle DataSource::history(double alert_percent) const {
  if (!folder_) return nullptr;
  auto source = std::make_shared<engine::HistorySource>();
  source->settings.alerts.threshold_percent = alert_percent;
  // A reader that runs `read` on the store with the arguments it is called with, then the alerts'.
  const auto reader = [folder = *folder_, alerts = source->settings.alerts](auto read) {
    return [=](const auto&... arguments) { return read_store(folder, read, arguments..., alerts); };
  };
  source->read = [views = reader(store::read_history_views)](
                     const std::string& sku_asin, const std::optional<std::string>& platform,
                     std::int64_t now, int days) {
    return views(store::HistoryQuery{sku_asin, platform, std::nullopt}, now, days);
  };
  source->read_alerts_of = reader(store::read_product_alerts);
  source->read_alerts = reader(store::read_all_alerts);
  source->now = [] {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
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
                               " (still answering from the last snapshot read)\n");
        });
  }
  return source;
}

}  // namespace qmr::main
