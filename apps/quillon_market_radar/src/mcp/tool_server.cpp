#include "mcp/tool_server.hpp"

#include <utility>

#include "engine/text.hpp"
#include "mcp/json_line.hpp"
#include "mcp/request_fields.hpp"

namespace qmr::mcp {

namespace {

// The envelopes, written directly with their members in sorted order ("error", "id", "jsonrpc",
// "result"): the same text as building the response object and writing it compactly.
constexpr std::string_view SUCCESS_PREFIX = R"({"id":)";
constexpr std::string_view SUCCESS_MIDDLE = R"(,"jsonrpc":"2.0","result":)";
constexpr std::string_view ERROR_PREFIX =
    R"({"error":{"code":-32601,"message":"Method not found"},"id":)";
constexpr std::string_view ERROR_SUFFIX = R"(,"jsonrpc":"2.0"})";

// Answers one request. A request that is no object has no members: its id is null and its
// method unknown.
void respond(const RequestFields& request, const MarketTools& tools, std::string& out) {
  if (!request.method || !is_known_method(*request.method)) {
    out += ERROR_PREFIX;
    out += request.id;
    out += ERROR_SUFFIX;
    return;
  }
  out += SUCCESS_PREFIX;
  out += request.id;
  out += SUCCESS_MIDDLE;
  write_method_result(*request.method, request, tools, out);
  out += '}';
}

}  // namespace

LineHandler::LineHandler(engine::EngineHandle engine) : tools_(std::move(engine)) {}

bool LineHandler::answer(std::string_view line, std::string& out) const {
  // Most lines are plain requests, read without building a value; the rest take the full parser,
  // which also decides whether a line is JSON at all.
  if (const auto fields = scan_request_fields(line)) {
    respond(*fields, tools_, out);
    return true;
  }
  if (text::is_blank(line)) return false;
  const auto request = parse_json_line(line);
  if (!request) return false;
  std::string id_text;
  respond(request_fields(*request, id_text), tools_, out);
  return true;
}

std::optional<std::string> handle_line(std::string_view line, const engine::EngineHandle& engine) {
  std::string response;
  if (!LineHandler(engine).answer(line, response)) return std::nullopt;
  return response;
}

}  // namespace qmr::mcp
