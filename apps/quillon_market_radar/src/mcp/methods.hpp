// The method layer of the tool server: what each revision of the table answers to its methods (the
// fixed ones of its row and of the extensions declared, and "tools/call" with the three market
// tools), in pure functions of the request, the terms it is answered under and the store; the
// envelope and the wire belong to the line handler.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "mcp/json_text.hpp"
#include "mcp/request_reader.hpp"
#include "mcp/revisions.hpp"

namespace qmr::mcp {

/// Returns the "_meta" of a result in a revision with result meta, the server's name and version,
/// as compact JSON text.
[[nodiscard]] const std::string& result_meta_text();

/// Returns the revision named `name`, of `era` when one is given, or nothing when there is none.
[[nodiscard]] const Revision* find_revision(const JsonString& name,
                                            std::optional<Era> era = std::nullopt);

/// The names of the revisions served per request, as a JSON array.
[[nodiscard]] const std::string& per_request_versions();

/// What a method gives for a request.
enum class Outcome {
  RESULT,            // a result: a fixed text, or written by MarketTools::write_result
  METHOD_NOT_FOUND,  // -32601: no such method in the request's revision
  UNKNOWN_TOOL,      // -32602 "Unknown tool: <name>", in a revision with protocol errors
  UNKNOWN_RESOURCE,  // the revision's missing-resource error: a read of an address no resource has
  INVALID_PARAMS,    // -32602 "Invalid params": a read without an address (none, or no string)
};

/// Returns what `method` gives for `request` under `terms`, with a store (`with_store`) the
/// history tool among the tools and the medicine tool taking a query; `fixed` is then the text of a
/// fixed method's result (a resource's for a read), null for any other.
[[nodiscard]] Outcome outcome_of(std::string_view method, const Request& request,
                                 const Terms& terms, const std::string*& fixed,
                                 bool with_store = false);

}  // namespace qmr::mcp
