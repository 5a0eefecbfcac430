// The tool server for AI assistants: JSON-RPC 2.0, one request per line on standard input and one
// response line per request on standard output; notifications get none.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "base/result.hpp"
#include "engine/market_engine.hpp"
#include "mcp/methods.hpp"
#include "mcp/request_reader.hpp"

namespace qmr::mcp {

/// Takes the part of a long answer written so far out of `part`, leaving it empty, while the rest
/// is still being written (parts of PART_SIZE bytes or more); the stdio loop writes each part to
/// standard output.
using Spill = std::function<void(std::string& part)>;

/// Answers request lines over one store; made once for a whole run of the server. It keeps the
/// revision of the process's handshake session: 2024-11-05 until an `initialize` negotiates
/// another, the last one holding. A request that names a revision in its `_meta` is answered
/// under that one alone.
class LineHandler {
 public:
  explicit LineHandler(engine::EngineHandle engine);

  /// Appends the compact response line (without its line feed) for one input line to `out` and
  /// returns true; returns false and appends nothing when the line is blank, is not exactly one
  /// valid JSON value, or is a notification (an object with a string "method" and no "id").
  /// When `spill` is given, an answer that echoes a long structured id hands it the answer's
  /// beginning in parts as the id is written; `out` then ends with the rest.
  [[nodiscard]] bool answer(std::string_view line, std::string& out, const Spill& spill = Spill());

  /// Whether a line that is not UTF-8 is skipped like any invalid line, rather than ending the
  /// run: once the session is past 2024-11-05 or a per-request revision has been served.
  [[nodiscard]] bool skips_invalid_utf8() const {
    return session_ != Revision::V2024_11_05 || served_per_request_;
  }

 private:
  // Answers one parsed request; returns false for a notification.
  bool respond(const Request& request, std::string& out, const Spill& spill);

  MarketTools tools_;
  Revision session_ = Revision::V2024_11_05;
  bool served_per_request_ = false;
};

}  // namespace qmr::mcp
