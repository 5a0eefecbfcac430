// The method layer of the tool server: the protocol revisions it speaks, and for each the methods
// it answers ("initialize", "tools/list", "tools/call" with the three market tools, "ping"; from
// 2025-06-18 on the empty resource and prompt lists; in 2026-07-28 "server/discover" and the
// per-request version instead of the handshake). Pure functions of the request, the revision and
// the store; the envelope and the wire belong to the line handler.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_writer.hpp"
#include "engine/market_engine.hpp"
#include "mcp/request_reader.hpp"

namespace qmr::mcp {

/// The three tools over one store. The store never changes once it is built, so every record's
/// text is written, and escaped for the tool text of a response, once, when this is made; a call
/// then only searches and copies bytes.
class MarketTools {
 public:
  explicit MarketTools(engine::EngineHandle engine);

  /// Returns true when `name` names one of the three tools.
  [[nodiscard]] bool is_tool(const JsonString& name) const;

  /// Appends the output of the tool `name` for the search `query` to `out` as one JSON string:
  /// the compact text of an array of records, or of {"error":"Tool '<name>' not found"} for a
  /// name that is no tool. Only the search reads `query`.
  void write_tool_text(const JsonString& name, std::string_view query, std::string& out) const;

 private:
  engine::EngineHandle engine_;
  std::vector<std::string> products_;  // each product's object, escaped, in stored order
  std::string reviews_;                // the whole output of each list tool, as a JSON string
  std::string medicines_;
};

/// The protocol revisions the server speaks. A client that asks for any other gets 2024-11-05,
/// the first one, answered as it always was.
enum class Revision { V2024_11_05, V2025_06_18, V2025_11_25, V2026_07_28 };

/// The revision `initialize` answers for the version a client asks for: the one asked for when it
/// is a handshake revision we speak, 2024-11-05 for anything else.
[[nodiscard]] Revision negotiate(const JsonString& requested);

/// The revision a request's `_meta` names, when it is the one per-request revision we speak.
[[nodiscard]] std::optional<Revision> per_request_revision(const JsonString& requested);

/// The revisions a client may name in a request's `_meta`, as a JSON array.
inline constexpr std::string_view SUPPORTED_PER_REQUEST = R"(["2026-07-28"])";

/// What a method gives for a request.
enum class Outcome {
  RESULT,            // a result, written by write_method_result
  METHOD_NOT_FOUND,  // -32601: no such method in the request's revision
  UNKNOWN_TOOL,      // -32602 "Unknown tool: <name>", from 2025-06-18 on
};

/// Returns what `method` gives for `request` under `revision`.
[[nodiscard]] Outcome outcome_of(std::string_view method, const Request& request, Revision revision,
                                 const MarketTools& tools);

/// Appends the result of `method` for `request` under `revision`, whose outcome_of is RESULT, to
/// `out` as compact JSON text with its members in sorted order, without building a value.
void write_method_result(std::string_view method, const Request& request, Revision revision,
                         const MarketTools& tools, std::string& out);

}  // namespace qmr::mcp
