#include "mcp/market_tools.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "base/json_writer.hpp"
#include "base/text.hpp"
#include "engine/records.hpp"
#include "mcp/methods.hpp"

namespace qmr::mcp {

namespace {

// The tool text of a search whose query is no string, for the model to correct its call.
constexpr std::string_view QUERY_NOT_A_STRING =
    "Invalid arguments: \"query\" must be a string (a keyword, an ASIN or a platform such as "
    "Flipkart); leave it out to list every product.";

// The tool text of a list tool whose list is empty: a store holds none until they are imported.
constexpr std::string_view NO_REVIEWS = "No review analyses imported yet.";
constexpr std::string_view NO_MEDICINES = "No medicines imported yet.";

// Appends the output of a list tool to `out` as one JSON string: the records' array, or `none`.
template <typename Record>
void write_list_text(const std::vector<Record>& records, std::string_view none, std::string& out) {
  if (records.empty()) {
    json::write_string(none, out);
    return;
  }
  std::string text;
  engine::write_sorted_array(records, text);
  json::write_string(text, out);
}

}  // namespace

bool is_tool(const JsonString& name) {
  return name == SEARCH_TOOL || name == REVIEW_TOOL || name == MEDICINE_TOOL;
}

MarketTools::MarketTools(engine::EngineHandle engine) : engine_(std::move(engine)) {
  write_list_text(engine_->list_review_intel(), NO_REVIEWS, reviews_);
  write_list_text(engine_->list_medicines(), NO_MEDICINES, medicines_);
}

std::string MarketTools::write_tool_text(const JsonString& name, const JsonString& query,
                                         std::string& out) const {
  if (name == SEARCH_TOOL) {
    std::vector<std::size_t> positions = find(query);
    std::string more;
    if (positions.size() > engine::LISTED_PRODUCTS_CAP) {
      // A host takes a result of limited size: the products most worth a look come first.
      more = engine::more_matches_line(positions.size());
      positions = engine_->largest_price_gaps(std::move(positions), engine::LISTED_PRODUCTS_CAP);
    }
    std::string text;
    engine::write_sorted_array(engine_->products_at(positions), text);
    json::write_string(text, out);
    return more;
  }
  // The two list tools take no arguments: whatever is passed, they return every stored record.
  if (name == REVIEW_TOOL || name == MEDICINE_TOOL) {
    out += name == REVIEW_TOOL ? reviews_ : medicines_;
    return {};
  }
  // {"error":"Tool '<name>' not found"} as a JSON string, the name escaped twice and written
  // straight from the line: a long one is never copied on its way.
  out += R"("{\"error\":\"Tool ')";
  name.append_escaped(out, 2);
  out += R"(' not found\"}")";
  return {};
}

std::vector<std::size_t> MarketTools::find(const JsonString& query) const {
  std::string storage;
  // The store lowers the whole query beside the line, and the lower case of a long one may be
  // half as long again ("İ" becomes "i̇"). So a long query is first lowered PART_SIZE bytes at a
  // time from the line, no further than it takes to see that it is longer than every field a
  // search compares lower-cased: then it matches none.
  // (Lower-casing is per character here but for a final sigma, whose two forms are as long, so the
  // pieces' lengths add up to the whole's.)
  if (query.raw().size() > PART_SIZE) {
    std::size_t lowered = 0;
    for (std::size_t offset = 0; offset != query.raw().size();) {
      lowered += text::to_lower(query.part(offset, PART_SIZE).text(storage)).size();
      if (lowered > engine_->longest_search_key()) return {};
    }
  }
  return engine_->find_products(query.text(storage));
}

void MarketTools::write_result(const Request& request, const Revision& revision,
                               std::string& out) const {
  // One text content holding the tool's output, or in a revision with protocol errors a text the
  // model can act on when the query is no string, marked as a failed call.
  using namespace std::string_view_literals;
  out += '{';
  if (revision.result_meta) {
    out.append(R"("_meta":)"sv).append(result_meta_text()).append(","sv);
  }
  out += R"("content":[{"text":)"sv;
  const bool invalid_query =
      revision.protocol_errors && request.query_not_a_string && request.tool_name == SEARCH_TOOL;
  std::string more;
  if (invalid_query) {
    json::write_string(QUERY_NOT_A_STRING, out);
  } else {
    more = write_tool_text(request.tool_name, request.query, out);
  }
  out += R"(,"type":"text"})"sv;
  if (!more.empty()) {
    out += R"(,{"text":)"sv;
    json::write_string(more, out);
    out += R"(,"type":"text"})"sv;
  }
  out += ']';
  if (invalid_query) out += R"(,"isError":true)"sv;
  if (revision.result_meta) out += R"(,"resultType":"complete")"sv;
  out += '}';
}

}  // namespace qmr::mcp
