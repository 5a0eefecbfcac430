// The three market tools over one store: how they are listed, and what a "tools/call" of each
// gives, written straight into the answer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/market_engine.hpp"
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

/// The description of the search's query, in the revisions with described tools.
inline constexpr std::string_view QUERY_DESCRIPTION =
    "Keyword, ASIN or platform to look for, matched case-insensitively in the title, then the "
    "identifier, then the platform. Leave it out to list every product.";

/// Returns true when `name` is the name of one of the tools.
[[nodiscard]] bool is_tool(const JsonString& name);

/// The three tools over one snapshot. A snapshot never changes, so the list tools' texts are
/// written, and escaped for the tool text of a response, once, when this is made. A search writes
/// the at most engine::LISTED_PRODUCTS_CAP products it lists when it is called: a text of every
/// product of a 100,000-listing store would hold about 30 MB for the 50 a call lists. A list
/// tool with nothing to list says so in words.
class MarketTools {
 public:
  explicit MarketTools(engine::EngineHandle engine);

  /// Appends the result of a "tools/call" for `request` under `revision` to `out` as compact JSON
  /// text with its members in sorted order, without building a value.
  void write_result(const Request& request, const Revision& revision, std::string& out) const;

 private:
  // Appends the output of the tool `name` for the search `query` to `out` as one JSON string: the
  // compact text of an array of records, or of {"error":"Tool '<name>' not found"} for a name that
  // is no tool. Only the search reads `query`. A search with more matches than
  // engine::LISTED_PRODUCTS_CAP lists those with the largest price gap and returns the line on
  // the others, for a text content of its own (the first stays a JSON array); else "".
  std::string write_tool_text(const JsonString& name, const JsonString& query,
                              std::string& out) const;
  // Returns the positions of the products the search for `query` finds.
  [[nodiscard]] std::vector<std::size_t> find(const JsonString& query) const;

  engine::EngineHandle engine_;
  std::string reviews_;  // the whole output of each list tool, as a JSON string
  std::string medicines_;
};

}  // namespace qmr::mcp
