// The method layer of the tool server: "initialize", "tools/list" and "tools/call" with the three
// market tools over the engine's queries. Pure functions of the request and the store; the
// envelope and the wire belong to the line handler.
#pragma once

#include <optional>
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

/// Returns the fixed server description answered to "initialize".
[[nodiscard]] json::Value server_description();

/// Returns the catalogue of the three tools, in the order they are announced.
[[nodiscard]] json::Value tool_catalogue();

/// Returns the output of the tool `name` called with `arguments` (any JSON value): an array of
/// records, or {"error":"Tool '<name>' not found"} for a name that is no tool.
[[nodiscard]] json::Value run_tool(std::string_view name, const json::Value& arguments,
                                   const engine::EngineHandle& engine);

}  // namespace qmr::mcp
