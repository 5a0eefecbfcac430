// The method layer of the tool server: "initialize", "tools/list" and "tools/call" with the three
// market tools over the engine's queries, and "ping", the keep-alive, which is no tool. Pure
// functions of the request and the store; the envelope and the wire belong to the line handler.
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

/// Returns true when `method` names "initialize", "tools/list", "tools/call" or "ping" (exactly,
/// case included).
[[nodiscard]] bool is_known_method(std::string_view method);

/// Appends the result of the known `method` for `request` to `out` as compact JSON text, without
/// building a value. Appends nothing for a method that is_known_method rejects.
void write_method_result(std::string_view method, const Request& request, const MarketTools& tools,
                         std::string& out);

/// Returns the fixed server description answered to "initialize".
[[nodiscard]] json::Value server_description();

/// Returns the catalogue of the three tools, in the order they are announced.
[[nodiscard]] json::Value tool_catalogue();

}  // namespace qmr::mcp
