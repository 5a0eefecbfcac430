#include "main/data_source.hpp"

#include <filesystem>
#include <utility>

#include "base/console.hpp"
#include "store/store.hpp"

namespace qmr::main {

Result<DataSource> DataSource::open(const DataFolder& data, bool live) {
  if (!data) return DataSource(engine::MarketEngine::create());
  auto database = store::open_store_for_reading(std::filesystem::u8path(*data));
  if (!database.ok()) return database.error();
  // The version before the load: an import that finishes during it is loaded again at once.
  auto version = store::data_version(database.value());
  if (!version.ok()) return version.error();
  auto catalogue = store::load_catalogue(database.value());
  if (!catalogue.ok()) return catalogue.error();
  DataSource source(engine::MarketEngine::from_catalogue(std::move(catalogue.value())));
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
