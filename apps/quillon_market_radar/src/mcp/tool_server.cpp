#include "mcp/tool_server.hpp"

#include <utility>

#include "base/text.hpp"
#include "mcp/request_fields.hpp"
#include "mcp/request_reader.hpp"

namespace qmr::mcp {

namespace {

// The envelopes, written directly with their members in sorted order ("error", "id", "jsonrpc",
// "result"): the same text as building the response object and writing it compactly.
constexpr std::string_view SUCCESS_PREFIX = R"({"id":)";
constexpr std::string_view SUCCESS_MIDDLE = R"(,"jsonrpc":"2.0","result":)";
constexpr std::string_view ERROR_PREFIX =
    R"({"error":{"code":-32601,"message":"Method not found"},"id":)";
constexpr std::string_view ERROR_SUFFIX = R"(,"jsonrpc":"2.0"})";

// Answers one request and returns true, or returns false for a notification: an object with a
// string method and no id, which gets no answer whatever its method. A request that is no object
// has no members: its id is null and its method unknown, and it is answered.
bool respond(const RequestFields& request, const MarketTools& tools, std::string& out) {
  if (!request.has_id && request.method) return false;
  // Room for the id, the fixed parts and an unknown tool's name written back escaped twice, so
  // that a long id or name is not copied again while the line grows.
  out.reserve(out.size() + request.id.size() + 2 * request.tool_name.size() + 1024);
  if (!request.method || !is_known_method(*request.method)) {
    out += ERROR_PREFIX;
    out += request.id;
    out += ERROR_SUFFIX;
    return true;
  }
  out += SUCCESS_PREFIX;
  out += request.id;
  out += SUCCESS_MIDDLE;
  write_method_result(*request.method, request, tools, out);
  out += '}';
  return true;
}

}  // namespace

LineHandler::LineHandler(engine::EngineHandle engine) : tools_(std::move(engine)) {}

bool LineHandler::answer(std::string_view line, std::string& out) const {
  // Most lines are plain requests, scanned without building anything; the rest take the reader,
  // which also decides whether a line is JSON at all and keeps only the fields.
  if (const auto fields = scan_request_fields(line)) return respond(*fields, tools_, out);
  if (text::is_blank(line)) return false;
  const auto request = read_request(line);
  if (!request) return false;
  return respond(request->fields(), tools_, out);
}

}  // namespace qmr::mcp
