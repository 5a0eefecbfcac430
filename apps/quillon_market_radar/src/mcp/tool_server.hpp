// The tool server for AI assistants: JSON-RPC 2.0, one request per line on standard input and one
// response line per request on standard output.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/market_engine.hpp"
#include "engine/result.hpp"

namespace qmr::mcp {

/// Returns the compact response line (without its line feed) for one input line, or nothing when
/// the line is blank or is not exactly one valid JSON value.
[[nodiscard]] std::optional<std::string> handle_line(std::string_view line,
                                                     const engine::EngineHandle& engine);

/// Serves standard input until it ends (success) or until reading it or writing standard output
/// fails, or the input is not valid UTF-8 (the error).
[[nodiscard]] Status run_tool_server(const engine::EngineHandle& engine);

}  // namespace qmr::mcp
