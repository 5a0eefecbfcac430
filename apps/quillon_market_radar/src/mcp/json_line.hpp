// Reading one input line of the tool server as exactly one JSON value: JSON white space may
// surround it, nothing else may follow it, and nesting is bounded so that neither parsing nor any
// later copy, comparison or write of the value can recurse deeply.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "base/json_writer.hpp"

namespace qmr::mcp {

/// The deepest nesting of arrays and objects a line may hold; one level more makes it invalid.
inline constexpr std::size_t MAX_NESTING_DEPTH = 127;

/// Returns the one JSON value `line` holds, or nothing when the line is not exactly one valid JSON
/// value: a syntax error, characters after the value, nesting deeper than MAX_NESTING_DEPTH, a
/// number out of range, a NUL byte anywhere or a byte-order mark in front.
[[nodiscard]] std::optional<json::Value> parse_json_line(std::string_view line);

}  // namespace qmr::mcp
