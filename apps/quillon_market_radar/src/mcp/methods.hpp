// The method layer of the tool server: what each revision of the table answers to its methods (the
// fixed ones of its row, and "tools/call" with the three market tools), in pure functions of the
// request, the revision and the store; the envelope and the wire belong to the line handler.
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

/// The three tools over one store. The store never changes once it is built, so every record's
/// text is written, and escaped for the tool text of a response, once, when this is made; a call
/// then only searches and copies bytes.
class MarketTools {
 public:
  explicit MarketTools(engine::EngineHandle engine);

  /// Appends the result of a "tools/call" for `request` under `revision` to `out` as compact JSON
  /// text with its members in sorted order, without building a value.
  void write_result(const Request& request, const Revision& revision, std::string& out) const;

 private:
  // Appends the output of the tool `name` for the search `query` to `out` as one JSON string: the
  // compact text of an array of records, or of {"error":"Tool '<name>' not found"} for a name that
  // is no tool. Only the search reads `query`.
  void write_tool_text(const JsonString& name, const JsonString& query, std::string& out) const;
  // Returns the positions of the products the search for `query` finds.
  [[nodiscard]] std::vector<std::size_t> find(const JsonString& query) const;

  engine::EngineHandle engine_;
  std::size_t longest_product_ = 0;    // the longest product's text lower-cased, in bytes
  std::vector<std::string> products_;  // each product's object, escaped, in stored order
  std::string reviews_;                // the whole output of each list tool, as a JSON string
  std::string medicines_;
};

/// Returns the revision of `era` named `name`, or nothing when there is none.
[[nodiscard]] const Revision* find_revision(Era era, const JsonString& name);

/// The names of the revisions served per request, as a JSON array.
[[nodiscard]] const std::string& per_request_versions();

/// What a method gives for a request.
enum class Outcome {
  RESULT,            // a result: a fixed text, or written by MarketTools::write_result
  METHOD_NOT_FOUND,  // -32601: no such method in the request's revision
  UNKNOWN_TOOL,      // -32602 "Unknown tool: <name>", in a revision with protocol errors
  UNKNOWN_RESOURCE,  // the revision's missing-resource error: a read of an address not the view's
};

/// Returns what `method` gives for `request` under `revision`, with or without the view
/// (VIEW_METHODS); `fixed` is then the text of a fixed method's result, null for any other.
[[nodiscard]] Outcome outcome_of(std::string_view method, const Request& request,
                                 const Revision& revision, bool view, const std::string*& fixed);

}  // namespace qmr::mcp
