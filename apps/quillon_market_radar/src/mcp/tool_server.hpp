// The tool server for AI assistants: JSON-RPC 2.0, one request per line on standard input and one
// response line per request on standard output; notifications get none.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/market_engine.hpp"
#include "engine/result.hpp"
#include "mcp/methods.hpp"

namespace qmr::mcp {

/// Answers request lines over one store; made once for a whole run of the server.
class LineHandler {
 public:
  explicit LineHandler(engine::EngineHandle engine);

  /// Appends the compact response line (without its line feed) for one input line to `out` and
  /// returns true; returns false and appends nothing when the line is blank, is not exactly one
  /// valid JSON value, or is a notification (an object with a string "method" and no "id").
  [[nodiscard]] bool answer(std::string_view line, std::string& out) const;

 private:
  MarketTools tools_;
};

/// Returns the compact response line (without its line feed) for one input line, or nothing when
/// the line is blank, is not exactly one valid JSON value, or is a notification.
[[nodiscard]] std::optional<std::string> handle_line(std::string_view line,
                                                     const engine::EngineHandle& engine);

/// Serves standard input until it ends (success) or until reading it or writing standard output
/// fails, or the input is not valid UTF-8 (the error).
[[nodiscard]] Status run_tool_server(const engine::EngineHandle& engine);

}  // namespace qmr::mcp
