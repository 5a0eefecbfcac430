// One JSON-RPC message posted to the tool server over HTTP, as the dashboard hands it on once the
// request has passed the dashboard's own checks (address, origin, token, method, media types,
// length), and the tool server's reply. The dashboard and the tool server never include each
// other; the runtime joins them through these.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qmr {

/// The body of a POST to the tool server's path and the tool-server headers it carries, each
/// value as sent (names are matched without regard to case by the dashboard); views into the
/// connection's buffer, valid for the call.
struct ToolServerCall {
  std::string_view body;
  std::optional<std::string_view> protocol_version;  // MCP-Protocol-Version
  std::optional<std::string_view> method;            // Mcp-Method
  std::optional<std::string_view> name;              // Mcp-Name
};

/// The tool server's reply: the HTTP status and, unless it is 202, one JSON object as the body.
struct ToolServerReply {
  int status = 200;
  std::string body;
};

/// Answers one call. Called from any of the dashboard's loops at once, so it keeps no state
/// between calls.
using ToolServerEndpoint = std::function<ToolServerReply(const ToolServerCall&)>;

}  // namespace qmr
