// The tool server over HTTP: one JSON-RPC message per POST body, answered by the same dispatcher
// as the stdio loop, under the revision the request's headers and body name. No session is kept
// between requests.
#pragma once

#include "base/tool_server_call.hpp"
#include "engine/market_engine.hpp"

namespace qmr::mcp {

/// Returns the endpoint that answers posted messages over `engine`; safe to call from several
/// threads at once.
[[nodiscard]] ToolServerEndpoint http_endpoint(engine::EngineHandle engine);

}  // namespace qmr::mcp
