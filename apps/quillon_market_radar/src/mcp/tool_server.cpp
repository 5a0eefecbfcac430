#include "mcp/tool_server.hpp"

namespace qmr::mcp {

std::optional<std::string> handle_line(std::string_view, const engine::EngineHandle&) {
  return std::nullopt;
}

Status run_tool_server(const engine::EngineHandle&) {
  return Error{"the tool server is not built yet"};
}

}  // namespace qmr::mcp
