#include "mcp/http_transport.hpp"

#include <utility>

namespace qmr::mcp {

// FIXME: the messages themselves are not answered yet.
ToolServerEndpoint http_endpoint(engine::EngineHandle engine) {
  return [engine = std::move(engine)](const ToolServerCall&) {
    return ToolServerReply{
        501, R"({"error":{"code":-32603,"message":"Internal error"},"jsonrpc":"2.0"})"};
  };
}

}  // namespace qmr::mcp
