// The tool server over HTTP: one JSON-RPC message per POST body, answered by the stdio loop's own
// dispatcher under the revision the request's headers and body name, in a fresh session (none is
// kept between requests); the transport adds the status and the checks of headers against body.
#pragma once

#include "base/tool_server_call.hpp"
#include "engine/history_source.hpp"
#include "engine/snapshots.hpp"

namespace qmr::mcp {

/// Returns the endpoint that answers posted messages from the current snapshot of `snapshots`, and
/// the history tool from `history` when there is one; safe to call from several threads at once.
[[nodiscard]] ToolServerEndpoint http_endpoint(engine::Snapshots snapshots,
                                               engine::HistorySourceHandle history = nullptr);

}  // namespace qmr::mcp
