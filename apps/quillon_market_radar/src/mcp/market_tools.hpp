// The three market tools over one store: how they are listed, and what a "tools/call" of each
// gives, written straight into the answer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/history_source.hpp"
#include "engine/market_engine.hpp"
#include "engine/medicines.hpp"
#include "mcp/json_text.hpp"
#include "mcp/request_reader.hpp"
#include "mcp/revisions.hpp"

namespace qmr::mcp {

inline constexpr std::string_view SEARCH_TOOL = "market_search_products";
inline constexpr std::string_view REVIEW_TOOL = "market_review_defects";
inline constexpr std::string_view MEDICINE_TOOL = "market_jan_aushadhi";

/// The tools as listed: name, title, description; the search first.
inline constexpr std::string_view TOOLS[][3] = {
    {SEARCH_TOOL, "Search Competitor Prices",
     "Search competitor prices across Amazon and Flipkart with sub-0.1ms latency."},
    {REVIEW_TOOL, "Review Defect Intelligence",
     "Extract manufacturing defect intelligence and fake review ratios."},
    {MEDICINE_TOOL, "Jan Aushadhi Generic Match",
     "Match branded medicine to 70%+ cheaper Jan Aushadhi generic equivalent."},
};

/// The price history tool, listed after the others only when a store is given.
inline constexpr std::string_view HISTORY_TOOL = "market_price_history";
inline constexpr std::string_view HISTORY_TOOL_ENTRY[3] = {
    HISTORY_TOOL, "Price History",
    "Summarise a product's own and competitor price history from the seller's store: lowest, "
    "average and highest over the last 30, 90 and 180 days (IST), the all-time low, alerts, a "
    "suggested price, and the last points."};

/// The descriptions of the history tool's arguments, in the revisions with described tools.
inline constexpr std::string_view SKU_ASIN_DESCRIPTION =
    "The product's seller SKU or ASIN, exactly as stored.";
inline constexpr std::string_view PLATFORM_DESCRIPTION =
    "Amazon or Flipkart; leave it out for every platform the product is on.";
inline constexpr std::string_view DAYS_DESCRIPTION =
    "How many days in India of points to list, from 1 to 3650; 90 when left out.";

/// The description of the search's query, in the revisions with described tools.
inline constexpr std::string_view QUERY_DESCRIPTION =
    "Keyword, ASIN or platform to look for, matched case-insensitively in the title, then the "
    "identifier, then the platform. Leave it out to list every product.";

/// The description of the medicine tool's query, listed when the medicines answer one.
inline constexpr std::string_view MEDICINE_QUERY_DESCRIPTION =
    "Brand or salt to look for, matched case-insensitively in the branded name, the salt "
    "composition and the generic's name. Leave it out to list the largest savings.";

/// Returns true when `name` is the name of one of the tools; the history tool's only
/// `with_store`.
[[nodiscard]] bool is_tool(const JsonString& name, bool with_store = false);

/// Appends the result of a "tools/call" of the history tool for `request` under `revision` to
/// `out`, read from `history`: one text content giving, per platform, the summaries with their
/// windows' edges and the last points, and in a revision with structured content the same
/// histories as data for the view, {"histories":[...]} (engine::history_json without the alerts'
/// dispatch records); marked as a failed call, with the reason in words and no data, for
/// arguments that are not valid, a product the store knows nothing of, or a store that fails.
void write_history_result(const Request& request, const Revision& revision,
                          const engine::HistorySource& history, std::string& out);

/// The three tools over one snapshot. A snapshot never changes, so the list tools' texts are
/// written, and escaped for the tool text of a response, once, when this is made. A search writes
/// the at most engine::LISTED_PRODUCTS_CAP products it lists when it is called: a text of every
/// product of a 100,000-listing store would hold about 30 MB for the 50 a call lists. A list
/// tool with nothing to list says so in words.
class MarketTools {
 public:
  explicit MarketTools(engine::EngineHandle engine);

  /// Appends the result of a "tools/call" for `request` under `revision` to `out` as compact JSON
  /// text with its members in sorted order, without building a value. With `history` (a store
  /// given), each product a search lists carries "alert": its latest alert of the last
  /// engine::ALERT_WINDOW_DAYS days or null (left out when the store could not be read).
  void write_result(const Request& request, const Revision& revision, std::string& out,
                    const engine::HistorySource* history = nullptr) const;

  /// Whether the medicine tool takes a query (the catalogue's medicines answer one): it is then
  /// listed with it.
  [[nodiscard]] bool medicine_queries() const { return engine_->medicine_queries(); }

 private:
  // Appends the output of the tool `name` for the search `query` to `out` as one JSON string: the
  // compact text of an array of records, or of {"error":"Tool '<name>' not found"} for a name that
  // is no tool. Only the search reads `query`. A search with more matches than
  // engine::LISTED_PRODUCTS_CAP lists those with the largest price gap and returns the line on
  // the others, for a text content of its own (the first stays a JSON array); else "". The
  // medicine tool reads it too when its medicines answer a query, and then returns its own line
  // on the matches beyond engine::MEDICINE_ANSWER_LIMIT.
  std::string write_tool_text(const JsonString& name, const JsonString& query,
                              const engine::HistorySource* history, std::string& out) const;
  // Appends the medicine tool's answer to `query` as one JSON string; returns its line on the rest.
  std::string write_medicines(const JsonString& query, std::string& out) const;
  // Returns the positions of the products the search for `query` finds.
  [[nodiscard]] std::vector<std::size_t> find(const JsonString& query) const;

  engine::EngineHandle engine_;
  std::string reviews_;    // the whole output of each list tool, as a JSON string
  std::string medicines_;  // when the medicines answer no query
  std::vector<engine::MedicineArbitrage> medicine_rows_;   // when they do, in answer order
  std::vector<engine::MedicineSearchKeys> medicine_keys_;  // of medicine_rows_
};

}  // namespace qmr::mcp
