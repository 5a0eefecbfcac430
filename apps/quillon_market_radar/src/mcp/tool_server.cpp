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
// `write_id` appends the id; a structured one may hand what is written so far to the spill.
template <typename WriteId>
bool respond(const RequestFields& request, const MarketTools& tools, std::string& out,
             const WriteId& write_id) {
  if (!request.has_id && request.method) return false;
  // Room for the id, the fixed parts and an unknown tool's name written back escaped twice, so
  // that a long id or name is not copied again while the line grows.
  out.reserve(out.size() + request.id.size() + 2 * request.tool_name.size() + 1024);
  if (!request.method || !is_known_method(*request.method)) {
    out += ERROR_PREFIX;
    write_id(out);
    out += ERROR_SUFFIX;
    return true;
  }
  out += SUCCESS_PREFIX;
  write_id(out);
  out += SUCCESS_MIDDLE;
  write_method_result(*request.method, request, tools, out);
  out += '}';
  return true;
}

}  // namespace

LineHandler::LineHandler(engine::EngineHandle engine) : tools_(std::move(engine)) {}

bool LineHandler::answer(std::string_view line, std::string& out, const Spill& spill) const {
  // Most lines are plain requests, scanned without building anything; the rest take the reader,
  // which also decides whether a line is JSON at all and keeps only the fields.
  if (const auto fields = scan_request_fields(line)) {
    return respond(*fields, tools_, out, [&fields](std::string& to) { to += fields->id; });
  }
  if (text::is_blank(line)) return false;
  const auto request = read_request(line);
  if (!request) return false;
  const auto fields = request->fields();
  return respond(fields, tools_, out,
                 [&request, &spill](std::string& to) { request->write_id(to, spill); });
}

}  // namespace qmr::mcp
