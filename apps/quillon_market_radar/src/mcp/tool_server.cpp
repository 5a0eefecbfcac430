#include "mcp/tool_server.hpp"

#include <utility>

#include "engine/text.hpp"
#include "mcp/json_line.hpp"
#include "mcp/methods.hpp"

namespace qmr::mcp {

namespace {

// The envelopes, written directly with their members in sorted order ("error", "id", "jsonrpc",
// "result"): the same text as building the response object and writing it compactly.
constexpr std::string_view SUCCESS_PREFIX = R"({"id":)";
constexpr std::string_view SUCCESS_MIDDLE = R"(,"jsonrpc":"2.0","result":)";
constexpr std::string_view ERROR_PREFIX =
    R"({"error":{"code":-32601,"message":"Method not found"},"id":)";
constexpr std::string_view ERROR_SUFFIX = R"(,"jsonrpc":"2.0"})";

// Answers one parsed request. A request that is no object has no members: its id is null and
// its method unknown.
std::string respond(const json::Value& request, const engine::EngineHandle& engine) {
  static const json::Value NULL_ID;
  const json::Value* id = &NULL_ID;
  std::optional<std::string_view> method;
  if (request.is_object()) {
    if (const auto found = request.find("id"); found != request.end()) id = &*found;
    if (const auto found = request.find("method"); found != request.end() && found->is_string()) {
      method = found->get_ref<const std::string&>();
    }
  }

  std::string response;
  response.reserve(1024);
  if (!method || !is_known_method(*method)) {
    response += ERROR_PREFIX;
    json::write_compact(*id, response);
    response += ERROR_SUFFIX;
    return response;
  }
  response += SUCCESS_PREFIX;
  json::write_compact(*id, response);
  response += SUCCESS_MIDDLE;
  write_method_result(*method, request, engine, response);
  response += '}';
  return response;
}

}  // namespace

std::optional<std::string> handle_line(std::string_view line, const engine::EngineHandle& engine) {
  if (text::is_blank(line)) return std::nullopt;
  const auto request = parse_json_line(line);
  if (!request) return std::nullopt;
  return respond(*request, engine);
}

}  // namespace qmr::mcp
