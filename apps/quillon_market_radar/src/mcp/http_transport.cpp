#include "mcp/http_transport.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "base/json_writer.hpp"
#include "mcp/methods.hpp"
#include "mcp/request_reader.hpp"
#include "mcp/revisions.hpp"
#include "mcp/tool_server.hpp"

namespace qmr::mcp {

namespace {

using namespace std::string_view_literals;

constexpr int STATUS_OK = 200;
constexpr int STATUS_ACCEPTED = 202;
constexpr int STATUS_BAD_REQUEST = 400;

// The error objects of a body that is not one JSON value, and of a message we do not take.
constexpr std::string_view PARSE_ERROR = R"({"code":-32700,"message":"Parse error"})";
constexpr std::string_view INVALID_REQUEST = R"({"code":-32600,"message":"Invalid Request"})";

// The prefix and suffix of a header value carried in base64, as Mcp-Name may be.
constexpr std::string_view BASE64_PREFIX = "=?base64?";
constexpr std::string_view BASE64_SUFFIX = "?=";
constexpr std::string_view BASE64_DIGITS =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// A 400 answer: Request() for a body whose id cannot be read or is not a request's to echo.
ToolServerReply refuse(const Request& request, std::string_view error) {
  ToolServerReply reply{STATUS_BAD_REQUEST, {}};
  write_error_response(request, error, reply.body);
  return reply;
}

// Returns the bytes `text` encodes in base64 (the padding optional), or nothing when it is none.
std::optional<std::string> decode_base64(std::string_view text) {
  while (text.ends_with('=')) text.remove_suffix(1);
  if (text.size() % 4 == 1) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() * 3 / 4);
  std::uint32_t bits = 0;
  int held = 0;
  for (const char digit : text) {
    const std::size_t value = BASE64_DIGITS.find(digit);
    if (value == std::string_view::npos) return std::nullopt;
    bits = bits << 6 | static_cast<std::uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes += static_cast<char>(bits >> held & 0xFF);
    }
  }
  return bytes;
}

// Appends to `error` the -32020 error object of the header `name`, its value as sent `header`,
// when it does not mirror the body's string `body` (none when the body has no string there), and
// returns false; returns true when it does. A header is required where the body has the value it
// mirrors, and refused where the body has none: a request without a method or a tool name is then
// the dispatcher's to refuse, as on stdio. The header value is echoed only when it is plain text.
bool mirrors(std::string_view name, std::optional<std::string_view> header, const JsonString* body,
             std::string& error) {
  if (!header && !body) return true;
  const std::size_t start = error.size();
  error += R"({"code":-32020,"message":"Header mismatch: )"sv;
  error += name;
  const auto fail = [&error](std::string_view explanation) {
    error += explanation;
    error += R"("})"sv;
    return false;
  };
  if (!header) return fail(" header is missing");
  const std::string_view value = *header;
  // A header value holds visible ASCII, spaces and tabs.
  if (!std::ranges::all_of(
          value, [](char byte) { return (byte >= 0x20 && byte <= 0x7E) || byte == '\t'; })) {
    return fail(" header value has invalid characters");
  }
  error += " header value '"sv;
  char form[6];
  for (const char byte : value) {
    error.append(form, json::escape_byte(static_cast<unsigned char>(byte), form));
  }
  error += '\'';
  std::optional<std::string> decoded;
  // A name that is no plain header text is sent in base64.
  if (name == "Mcp-Name" && value.size() >= BASE64_PREFIX.size() + BASE64_SUFFIX.size() &&
      value.starts_with(BASE64_PREFIX) && value.ends_with(BASE64_SUFFIX)) {
    decoded = decode_base64(value.substr(
        BASE64_PREFIX.size(), value.size() - BASE64_PREFIX.size() - BASE64_SUFFIX.size()));
    if (!decoded) return fail(" is not valid base64");
  }
  if (!body) return fail(" has no body value to match");
  if (*body == (decoded ? std::string_view(*decoded) : value)) {
    error.resize(start);
    return true;
  }
  error += " does not match body value '"sv;
  body->append_escaped(error);
  return fail("'");
}

// Appends to `error` the -32020 error object of the first header of `revision`'s mirrored ones
// that does not mirror the body of `request`, and returns false; returns true when they all do.
// Mcp-Name is looked at on the methods we have whose request names something: the tool of
// "tools/call", the address of "resources/read".
bool headers_mirror(const Revision& revision, const Request& request, const ToolServerCall& call,
                    std::string& error) {
  const auto method_is = [&request](std::string_view name) {
    return request.method && *request.method == name;
  };
  for (const MirroredHeader header : revision.mirrored_headers) {
    std::string_view name;
    std::optional<std::string_view> sent;
    const JsonString* body = nullptr;
    switch (header) {
      case MirroredHeader::PROTOCOL_VERSION:
        // A version in _meta that is no string names no revision, and no header can spell it: the
        // dispatcher refuses it (-32022) as on stdio, whatever the header says.
        name = "MCP-Protocol-Version";
        if (request.meta_version_value.empty() || request.meta_version) {
          sent = call.protocol_version;
        }
        if (request.meta_version) body = &*request.meta_version;
        break;
      case MirroredHeader::METHOD:
        name = "Mcp-Method";
        sent = call.method;
        if (request.method) body = &*request.method;
        break;
      case MirroredHeader::NAME:
        name = "Mcp-Name";
        if (method_is("tools/call") || method_is("resources/read")) sent = call.name;
        if (method_is("tools/call")) body = &request.tool_name;
        if (method_is("resources/read") && request.resource_uri) body = &*request.resource_uri;
        if (body && body->raw().empty()) body = nullptr;
        break;
    }
    if (!mirrors(name, sent, body, error)) return false;
  }
  return true;
}

ToolServerReply reply_to(const LineHandler& handler, const ToolServerCall& call) {
  auto request = read_request(call.body);
  if (!request) return refuse(Request(), PARSE_ERROR);
  // One message per POST: a batch (an array) or a plain value is no message we take.
  if (!request->is_object) return refuse(Request(), INVALID_REQUEST);
  // A notification is taken whatever it says and whatever its headers, as stdio takes it: no
  // answer, and nothing of ours changes.
  if (!request->has_id && request->method) return {STATUS_ACCEPTED, {}};
  // A fresh session per request: none is kept between POSTs, so whatever a session would carry
  // comes from the request itself (its _meta, its headers, or the `initialize` it is). A request
  // naming its revision in _meta is answered under that one, which decide() looks up; for any
  // other the revision its header names is the one an earlier handshake gave, looked up here and
  // handed over as the session's. A header naming HEADERLESS_VERSION is served as one naming none,
  // under the first revision: the same request should not succeed without the header and fail
  // with it. What an `initialize` declares would hold for the session, and there is none: the
  // requests after it could not be given the extensions, so they are not offered to it either.
  const bool names_revision = !request->meta_version_value.empty();
  const std::optional<std::string_view>& header = call.protocol_version;
  const Revision* named =
      header && !names_revision ? find_revision(JsonString(*header, false)) : nullptr;
  Session session;
  if (named) session.handshake.revision = session.revision = named;
  request->declared.clear();
  const Served served = decide(*request, session);
  // The POST is made under the revision its body names, or else its header's: an `initialize`
  // negotiates its own from its body, but its header is held to the rules of what it names.
  const Revision& posted = names_revision ? *served.terms.revision : *session.handshake.revision;
  // A response to a request of ours: we send none, so there is nothing to match it with.
  if (request->has_id && !request->method && request->has_result_or_error) {
    return posted.takes_posted_responses ? ToolServerReply{STATUS_ACCEPTED, {}}
                                         : refuse(Request(), INVALID_REQUEST);
  }
  if (std::string error; !headers_mirror(posted, *request, call, error)) {
    return refuse(*request, error);
  }
  // A header naming a version we do not have, on a body naming none, is refused; an `initialize`
  // negotiates its own, its header naming at most what an earlier handshake gave.
  if (header && !names_revision && !named && *header != HEADERLESS_VERSION &&
      !(request->method && *request->method == "initialize")) {
    return refuse(*request, INVALID_REQUEST);
  }
  ToolServerReply reply{STATUS_OK, {}};
  const Outcome outcome = handler.respond(*request, served, reply.body);
  // A refusal is a bad request; a method we do not have gets the revision's status.
  if (served.refusal) {
    reply.status = STATUS_BAD_REQUEST;
  } else if (outcome == Outcome::METHOD_NOT_FOUND) {
    reply.status = served.terms.revision->unknown_method_status;
  }
  return reply;
}

}  // namespace

ToolServerEndpoint http_endpoint(engine::Snapshots snapshots, engine::HistorySourceHandle history) {
  // The list tools' texts are written once per snapshot for all requests; a call only reads them.
  const auto handler =
      std::make_shared<const LineHandler>(std::move(snapshots), std::move(history));
  return [handler](const ToolServerCall& call) { return reply_to(*handler, call); };
}

}  // namespace qmr::mcp
