#include "mcp/tool_server.hpp"

#include <utility>

#include "mcp/request_reader.hpp"

namespace qmr::mcp {

namespace {

using namespace std::string_view_literals;

// The envelopes, written directly with their members in sorted order ("error", "id", "jsonrpc",
// "result"): the same text as building the response object and writing it compactly.
constexpr std::string_view SUCCESS_PREFIX = R"({"id":)";
constexpr std::string_view SUCCESS_MIDDLE = R"(,"jsonrpc":"2.0","result":)";
constexpr std::string_view ERROR_SUFFIX = R"(,"jsonrpc":"2.0"})";
constexpr std::string_view METHOD_NOT_FOUND = R"({"code":-32601,"message":"Method not found"})";

// Appends the error `error` (an object's compact text) for the request's id.
template <typename WriteError>
void write_error(const Request& request, std::string& out, const Spill& spill,
                 const WriteError& write) {
  out += R"({"error":)"sv;
  write(out);
  out += R"(,"id":)"sv;
  write_canonical(request.id, out, spill);
  out += ERROR_SUFFIX;
}

}  // namespace

LineHandler::LineHandler(engine::EngineHandle engine) : tools_(std::move(engine)) {}

bool LineHandler::answer(std::string_view line, std::string& out, const Spill& spill) {
  const auto request = read_request(line);
  return request && respond(*request, out, spill);
}

// A notification is an object with a string method and no id, and gets no answer whatever its
// method. A request that is no object has no members: its id is null and its method unknown, and
// it is answered.
bool LineHandler::respond(const Request& request, std::string& out, const Spill& spill) {
  if (!request.has_id && request.method) return false;
  // Room for the id, the fixed parts and an unknown tool's name written back escaped twice (at
  // most twice its bytes in the line), so that a long id or name is not copied again while the
  // line grows.
  out.reserve(out.size() + request.id.size() + 2 * request.tool_name.raw().size() + 1024);
  Revision revision = session_;
  if (!request.meta_version_value.empty()) {
    // A version in _meta: served under that revision alone, or refused with the ones we serve.
    const auto named =
        request.meta_version ? per_request_revision(*request.meta_version) : std::nullopt;
    if (!named) {
      write_error(request, out, spill, [&](std::string& to) {
        to += R"({"code":-32022,"data":{"requested":)"sv;
        if (request.meta_version) {
          write_canonical(request.meta_version_value, to);
        } else {
          std::string compact;
          write_canonical(request.meta_version_value, compact);
          json::write_string(compact, to);
        }
        to += R"(,"supported":)"sv;
        to += SUPPORTED_PER_REQUEST;
        to += R"(},"message":"Unsupported protocol version"})"sv;
      });
      return true;
    }
    revision = *named;
    served_per_request_ = true;
  }
  if (!request.has_id && revision != Revision::V2024_11_05) {
    // No id and no string method (a line that is no object, say): the later revisions have no
    // null id, and leave the id out of an error about a request whose id cannot be read.
    out += R"({"error":{"code":-32600,"message":"Invalid Request"},"jsonrpc":"2.0"})"sv;
    return true;
  }
  std::string decoded;
  const auto method = request.method ? request.method->text(decoded) : std::string_view();
  const Outcome outcome =
      request.method ? outcome_of(method, request, revision, tools_) : Outcome::METHOD_NOT_FOUND;
  if (outcome == Outcome::METHOD_NOT_FOUND) {
    write_error(request, out, spill, [](std::string& to) { to += METHOD_NOT_FOUND; });
    return true;
  }
  if (outcome == Outcome::UNKNOWN_TOOL) {
    write_error(request, out, spill, [&](std::string& to) {
      to += R"({"code":-32602,"message":"Unknown tool: )"sv;
      request.tool_name.append_escaped(to);
      to += R"("})"sv;
    });
    return true;
  }
  if (method == "initialize" && revision != Revision::V2026_07_28) {
    // The last handshake sets the session's revision, and is answered in it.
    revision = session_ = negotiate(request.handshake_version);
  }
  out += SUCCESS_PREFIX;
  write_canonical(request.id, out, spill);
  out += SUCCESS_MIDDLE;
  write_method_result(method, request, revision, tools_, out);
  out += '}';
  return true;
}

}  // namespace qmr::mcp
