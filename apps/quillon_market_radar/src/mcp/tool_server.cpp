#include "mcp/tool_server.hpp"

#include <utility>

#include "engine/text.hpp"
#include "mcp/json_line.hpp"
#include "mcp/methods.hpp"

namespace qmr::mcp {

namespace {

constexpr std::string_view JSONRPC_VERSION = "2.0";
constexpr std::int64_t METHOD_NOT_FOUND_CODE = -32601;
constexpr std::string_view METHOD_NOT_FOUND_MESSAGE = "Method not found";

json::Value method_not_found() {
  json::Value error = json::Value::object();
  error["code"] = METHOD_NOT_FOUND_CODE;
  error["message"] = METHOD_NOT_FOUND_MESSAGE;
  return error;
}

// Answers one parsed request. A request that is no object has no members: its id is null and
// its method unknown.
std::string respond(const json::Value& request, const engine::EngineHandle& engine) {
  json::Value id;
  std::optional<std::string_view> method;
  if (request.is_object()) {
    if (const auto found = request.find("id"); found != request.end()) id = *found;
    if (const auto found = request.find("method"); found != request.end() && found->is_string()) {
      method = found->get_ref<const std::string&>();
    }
  }

  auto result = dispatch_method(method, id, request, engine);
  json::Value response = json::Value::object();
  response["jsonrpc"] = JSONRPC_VERSION;
  if (result) {
    response["result"] = std::move(*result);
  } else {
    response["error"] = method_not_found();
  }
  response["id"] = std::move(id);
  return json::to_compact(response);
}

}  // namespace

std::optional<std::string> handle_line(std::string_view line, const engine::EngineHandle& engine) {
  if (text::is_blank(line)) return std::nullopt;
  const auto request = parse_json_line(line);
  if (!request) return std::nullopt;
  return respond(*request, engine);
}

}  // namespace qmr::mcp
