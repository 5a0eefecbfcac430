// The three market tools over one store: how they are listed, and what a "tools/call" of each
// gives, written straight into the answer.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/history_source.hpp"
#include "engine/market_engine.hpp"
#include "engine/medicines.hpp"
#include "mcp/request_reader.hpp"
#include "mcp/revisions.hpp"

namespace qmr::mcp {

inline constexpr std::string_view SEARCH_TOOL = "market_search_products";
inline constexpr std::string_view REVIEW_TOOL = "market_review_defects";
inline constexpr std::string_view MEDICINE_TOOL = "market_jan_aushadhi";

/// The price history tool, served only when a store is given.
inline constexpr std::string_view HISTORY_TOOL = "market_price_history";

/// The tools over one snapshot. A snapshot never changes, so the list tools' texts are written,
/// and escaped for the tool text of a response, once, when this is made, and each product's text
/// at the first search without alerts when there are at most KEPT_PRODUCT_TEXTS products. A search
/// over more writes the at most engine::LISTED_PRODUCTS_CAP products it lists when it is called: a
/// text of every product of a 100,000-listing store would hold about 30 MB for the 50 a call
/// lists. A list tool with nothing to list says so in words.
class MarketTools {
 public:
  explicit MarketTools(engine::EngineHandle engine);

  /// Appends the result of a "tools/call" for `request` under `revision` to `out` as compact JSON
  /// text with its members in sorted order, without building a value. With `history` (a store
  /// given), each product a search lists carries "alert": its latest alert of the last
  /// engine::ALERT_WINDOW_DAYS days or null (left out when the store could not be read); and the
  /// history tool answers, from it, one text content giving per platform the summaries with their
  /// windows' edges and the last points, and in a revision with structured content the same
  /// histories as data for the view, {"histories":[...]} (engine::history_json without the alerts'
  /// dispatch records); marked as a failed call, with the reason in words and no data, for
  /// arguments that are not valid, a product the store knows nothing of, or a store that fails.
  void write_result(const Request& request, const Revision& revision, std::string& out,
                    const engine::HistorySource* history = nullptr) const;

 private:
  // The most products whose texts are kept: a few hundred bytes each.
  static constexpr std::size_t KEPT_PRODUCT_TEXTS = 4096;

  // Returns each product's text, escaped for a tool text, in stored order; none when there are
  // more products than KEPT_PRODUCT_TEXTS. A search with alerts writes its own.
  const std::vector<std::string>& product_texts() const;

  engine::EngineHandle engine_;
  mutable std::once_flag product_texts_written_;
  mutable std::vector<std::string> product_texts_;
  std::string reviews_;    // the whole output of each list tool, as a JSON string
  std::string medicines_;  // when the medicines answer no query
  std::vector<engine::MedicineArbitrage> medicine_rows_;   // when they do, in answer order
  std::vector<engine::MedicineSearchKeys> medicine_keys_;  // of medicine_rows_
};

}  // namespace qmr::mcp
