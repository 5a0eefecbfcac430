// The tool server for AI assistants: JSON-RPC 2.0, one request per line on standard input and one
// response line per request on standard output; notifications get none.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/result.hpp"
#include "engine/market_engine.hpp"
#include "mcp/methods.hpp"
#include "mcp/request_reader.hpp"

namespace qmr::mcp {

/// Answers request lines over one store; made once for a whole run of the server.
class LineHandler {
 public:
  explicit LineHandler(engine::EngineHandle engine);

  /// Appends the compact response line (without its line feed) for one input line to `out` and
  /// returns true; returns false and appends nothing when the line is blank, is not exactly one
  /// valid JSON value, or is a notification (an object with a string "method" and no "id").
  /// When `spill` is given, an answer that echoes a long structured id hands it the answer's
  /// beginning in parts as the id is written; `out` then ends with the rest.
  [[nodiscard]] bool answer(std::string_view line, std::string& out,
                            const Spill& spill = Spill()) const;

 private:
  MarketTools tools_;
};

}  // namespace qmr::mcp
