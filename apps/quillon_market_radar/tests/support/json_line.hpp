// The tests' and the fuzzer's oracle for the tool server's reader: one input line parsed by the
// JSON library into its value, with the reader's limits. JSON white space may surround the value,
// nothing else may follow it, and nesting is bounded so that neither parsing nor any later copy,
// comparison or write of the value can recurse deeply.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "base/json_writer.hpp"
#include "mcp/request_reader.hpp"

namespace qmr::mcp {

/// Returns the one JSON value `line` holds, or nothing when the line is not exactly one valid JSON
/// value: a syntax error, characters after the value, nesting deeper than MAX_NESTING_DEPTH, a
/// number out of range, a NUL byte anywhere or a byte-order mark in front.
[[nodiscard]] std::optional<json::Value> parse_json_line(std::string_view line);

}  // namespace qmr::mcp
