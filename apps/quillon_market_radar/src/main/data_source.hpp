// Where a command's answers come from: the demo's seed catalogue, or with `--data DIR` the store in
// that folder, whose snapshot a serving command keeps current as imports finish.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "base/result.hpp"
#include "engine/history_source.hpp"
#include "engine/snapshots.hpp"
#include "main/cli.hpp"
#include "store/snapshot.hpp"

namespace qmr::main {

/// The snapshots a command answers from, and the watcher that replaces them, if any.
class DataSource {
 public:
  /// Returns the seed catalogue without `data`; with it, the store in that folder (made when
  /// missing, opened for reading only when it may not be written), loaded in one read
  /// transaction and, when `live`, watched for finished imports; with `search`, only the
  /// listings that search finds, for a command that answers it once. Returns the store's error.
  [[nodiscard]] static Result<DataSource> open(const DataFolder& data, bool live,
                                               std::optional<std::string_view> search = {});

  [[nodiscard]] engine::Snapshots snapshots() const { return engine::Snapshots(live_); }
  /// The store's price history, its drops alerted beyond `alert_percent`; null for the demo, which
  /// keeps none.
  [[nodiscard]] engine::HistorySourceHandle history(double alert_percent) const;

 private:
  explicit DataSource(engine::EngineHandle first)
      : live_(std::make_shared<engine::LiveEngine>(std::move(first))) {}

  std::shared_ptr<engine::LiveEngine> live_;
  std::unique_ptr<store::StoreWatcher> watcher_;
  DataFolder folder_;
};

}  // namespace qmr::main
