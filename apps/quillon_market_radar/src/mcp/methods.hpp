// The method layer of the tool server: "initialize", "tools/list" and "tools/call" with the three
// market tools over the engine's queries. Pure functions of the request and the store; the
// envelope and the wire belong to the line handler.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/json_writer.hpp"
#include "engine/market_engine.hpp"

namespace qmr::mcp {

/// Returns the result of `method` for `request`, or nothing when there is no such method (names
/// match exactly, case included) or the request has no string method (`method` absent). The id
/// is the envelope's business and is not read here.
[[nodiscard]] std::optional<json::Value> dispatch_method(std::optional<std::string_view> method,
                                                         const json::Value& id,
                                                         const json::Value& request,
                                                         const engine::EngineHandle& engine);

/// Returns true when `method` names one of the three methods (exactly, case included).
[[nodiscard]] bool is_known_method(std::string_view method);

/// Appends the result of the known `method` for `request` to `out` as compact JSON text, the
/// same text as writing dispatch_method's value compactly, without building the value. Appends
/// nothing for a method that is_known_method rejects.
void write_method_result(std::string_view method, const json::Value& request,
                         const engine::EngineHandle& engine, std::string& out);

/// Appends the output of the tool `name` called with `arguments` (any JSON value) to `out` as
/// compact JSON text: an array of records, or {"error":"Tool '<name>' not found"} for a name
/// that is no tool.
void write_tool_output(std::string_view name, const json::Value& arguments,
                       const engine::EngineHandle& engine, std::string& out);

/// Returns the fixed server description answered to "initialize".
[[nodiscard]] json::Value server_description();

/// Returns the catalogue of the three tools, in the order they are announced.
[[nodiscard]] json::Value tool_catalogue();

}  // namespace qmr::mcp
