#include "mcp/tool_server.hpp"

#include <utility>

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
// has no members: its id is null and its method unknown, and it is answered. A structured id may
// hand what is written so far to the spill.
bool respond(const Request& request, const MarketTools& tools, std::string& out,
             const Spill& spill) {
  if (!request.has_id && request.method) return false;
  // Room for the id, the fixed parts and an unknown tool's name written back escaped twice (at
  // most twice its bytes in the line), so that a long id or name is not copied again while the
  // line grows.
  out.reserve(out.size() + request.id.size() + 2 * request.tool_name.raw().size() + 1024);
  std::string decoded;
  const auto method = request.method ? request.method->text(decoded) : std::string_view();
  if (!request.method || !is_known_method(method)) {
    out += ERROR_PREFIX;
    request.write_id(out, spill);
    out += ERROR_SUFFIX;
    return true;
  }
  out += SUCCESS_PREFIX;
  request.write_id(out, spill);
  out += SUCCESS_MIDDLE;
  write_method_result(method, request, tools, out);
  out += '}';
  return true;
}

}  // namespace

LineHandler::LineHandler(engine::EngineHandle engine) : tools_(std::move(engine)) {}

bool LineHandler::answer(std::string_view line, std::string& out, const Spill& spill) const {
  const auto request = read_request(line);
  return request && respond(*request, tools_, out, spill);
}

}  // namespace qmr::mcp
