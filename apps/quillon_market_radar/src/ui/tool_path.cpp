// Every refusal on the tool server's path is a short JSON-RPC error without an id, as the
// transport allows; none uses the codes -32000 to -32019, which the protocol keeps for others.
#include "ui/tool_path.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <utility>

namespace qmr::ui {

namespace {

// The names of the fields of `Field`, in its order.
constexpr std::string_view FIELD_NAMES[] = {
    "host",    "origin",         "authorization",     "content-type",         "accept",
    "expect",  "content-length", "transfer-encoding", "mcp-protocol-version", "mcp-method",
    "mcp-name"};
static_assert(std::size(FIELD_NAMES) == FIELD_COUNT);

constexpr std::string_view JSON = "application/json";
constexpr std::string_view HTTP_SCHEME = "http://";  // of a target in absolute form
constexpr std::string_view ALLOW_POST = "Allow: POST\r\n";
constexpr std::string_view PREFLIGHT =
    "Access-Control-Allow-Methods: POST\r\n"
    "Access-Control-Allow-Headers: Content-Type, Accept, Authorization, MCP-Protocol-Version, "
    "Mcp-Method, Mcp-Name\r\n"
    "Access-Control-Max-Age: 600\r\n";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) { return lower(x) == lower(y); });
}

bool is_ows(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_ows(std::string_view text) {
  while (!text.empty() && is_ows(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_ows(text.back())) text.remove_suffix(1);
  return text;
}

// A token (a method or a field name) is one or more of these characters.
bool is_token(std::string_view text) {
  return !text.empty() && text.find_first_not_of(
                              "!#$%&'*+-.^_`|~0123456789"
                              "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                              "abcdefghijklmnopqrstuvwxyz") == std::string_view::npos;
}

// Control characters other than the tab are never part of a value or a target; bytes from 0x80
// are (obsolete text, which the tool server judges itself where it matters).
bool has_control(std::string_view text) {
  return std::ranges::any_of(
      text, [](unsigned char byte) { return (byte < 0x20 && byte != '\t') || byte == 0x7F; });
}

// A request target is visible ASCII: it ends at the one space before the version, and a tab or
// any other white space in it makes the request line malformed, not a shorter target.
bool is_target(std::string_view text) {
  return !text.empty() &&
         std::ranges::all_of(text, [](unsigned char byte) { return byte > 0x20 && byte < 0x7F; });
}

bool is_request_line(std::string_view line, HttpHead& head) {
  const auto first = line.find(' ');
  const auto last = line.rfind(' ');
  // Exactly two spaces: the method and the target hold none.
  if (first == std::string_view::npos || line.find(' ', first + 1) != last) return false;
  head.method = line.substr(0, first);
  head.target = line.substr(first + 1, last - first - 1);
  const std::string_view version = head.version = line.substr(last + 1);
  if (!is_token(head.method) || !is_target(head.target)) return false;
  return version.size() == 8 && version.starts_with("HTTP/") && version[5] >= '0' &&
         version[5] <= '9' && version[6] == '.' && version[7] >= '0' && version[7] <= '9';
}

// Reads one field line into `head`; false when it is malformed or repeats a field of `Field`.
bool read_field_line(std::string_view line, HttpHead& head) {
  const auto colon = line.find(':');
  if (colon == std::string_view::npos || !is_token(line.substr(0, colon))) return false;
  const std::string_view value = trim_ows(line.substr(colon + 1));
  if (has_control(value)) return false;
  for (std::size_t field = 0; field < FIELD_COUNT; ++field) {
    if (!equal_ignoring_case(line.substr(0, colon), FIELD_NAMES[field])) continue;
    auto& slot = head.fields[field];
    if (slot) return false;  // two values of a field we decide on: which one would count?
    slot = value;
    return true;
  }
  return true;
}

// Calls `found` on each item of `list` (split at `separator`, white space around it trimmed) until
// it returns true; returns whether one did.
template <typename Found>
bool any_item(std::string_view list, char separator, Found found) {
  for (;;) {
    const auto end = list.find(separator);
    if (found(trim_ows(list.substr(0, end)))) return true;
    if (end == std::string_view::npos) return false;
    list.remove_prefix(end + 1);
  }
}

// True when the first weight ("q=...") among the parameters of a media range is 0.
bool has_zero_weight(std::string_view parameters) {
  std::string_view weight;  // stays empty without one
  any_item(parameters, ';', [&weight](std::string_view parameter) {
    const auto equals = parameter.find('=');
    if (equals == std::string_view::npos ||
        !equal_ignoring_case(trim_ows(parameter.substr(0, equals)), "q")) {
      return false;
    }
    weight = trim_ows(parameter.substr(equals + 1));
    return true;
  });
  return weight.starts_with('0') && weight.find_first_not_of("0.") == std::string_view::npos;
}

// True when an Accept value lets the response be JSON. Of the ranges that cover it, the most
// specific decide (application/json, then application/*, then */*): JSON is refused when each of
// them weighs 0 ("application/json;q=0, */*" refuses it), and when no range covers it. No Accept
// at all accepts anything.
bool accepts_json(const std::optional<std::string_view>& accept) {
  if (!accept) return true;
  int decided_by = 0;  // the specificity of the ranges that decide so far: 3, 2, 1, or none yet
  bool accepted = false;
  any_item(*accept, ',', [&](std::string_view range) {
    const auto semicolon = range.find(';');
    const std::string_view type = trim_ows(range.substr(0, semicolon));
    const int specificity = equal_ignoring_case(type, JSON)              ? 3
                            : equal_ignoring_case(type, "application/*") ? 2
                            : type == "*/*"                              ? 1
                                                                         : 0;
    if (specificity == 0 || specificity < decided_by) return false;
    const bool weighed =
        semicolon == std::string_view::npos || !has_zero_weight(range.substr(semicolon + 1));
    accepted = (specificity == decided_by && accepted) || weighed;
    decided_by = specificity;
    return false;
  });
  return accepted;
}

// True when the request is HTTP/1.1 or later and its Expect asks for 100-continue; an HTTP/1.0
// client's is ignored, as it must be.
bool expects_continue(const HttpHead& head) {
  const auto& expect = head[Field::EXPECT];
  return expect && head.version >= "HTTP/1.1" &&
         any_item(*expect, ',', [](std::string_view expectation) {
           return equal_ignoring_case(expectation, "100-continue");
         });
}

// Splits a target in origin form ("/PATH") or absolute form ("http://AUTHORITY/PATH", the scheme
// in any case) into its authority (none in origin form) and path; nothing for another form.
struct Target {
  std::optional<std::string_view> authority;
  std::string_view path;
};
std::optional<Target> split_target(std::string_view target) {
  if (target.starts_with('/')) return Target{std::nullopt, target};
  if (!equal_ignoring_case(target.substr(0, HTTP_SCHEME.size()), HTTP_SCHEME)) return std::nullopt;
  target.remove_prefix(HTTP_SCHEME.size());
  const auto slash = target.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  return Target{target.substr(0, slash), target.substr(slash)};
}

// Returns a length of decimal digits only, or nothing for any other text or one past `limit`
// + 1 (which is all a caller needs to tell "too large").
std::optional<std::size_t> parse_length(std::string_view text, std::size_t limit) {
  std::size_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (stop != end || error == std::errc::invalid_argument) return std::nullopt;
  return error == std::errc() ? std::min(value, limit + 1) : limit + 1;  // past size_t: too large
}

// The reason phrase of each status the tool server's path answers with.
constexpr std::pair<int, std::string_view> REASON_PHRASES[] = {
    {200, "OK"},
    {202, "Accepted"},
    {204, "No Content"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {411, "Length Required"},
    {413, "Content Too Large"},
    {415, "Unsupported Media Type"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {503, "Service Unavailable"}};

std::string_view reason_phrase(int status) {
  for (const auto& [code, phrase] : REASON_PHRASES) {
    if (code == status) return phrase;
  }
  return "";
}

// Returns the framed response: status line, Content-Type (when there is a body), Content-Length
// (except for 204), `extra_headers` (each line ending in CRLF), the CORS lines for
// `allowed_origin` when set, `Vary: Origin`, `Connection: close`, and the body.
std::string frame_tool_response(int status, std::string_view body, std::string_view extra_headers,
                                std::optional<std::string_view> allowed_origin) {
  std::string out;
  out.reserve(192 + extra_headers.size() + body.size());
  out.append("HTTP/1.1 ").append(std::to_string(status)).append(" ");
  out.append(reason_phrase(status)).append("\r\n");
  if (!body.empty()) out.append("Content-Type: ").append(JSON).append("\r\n");
  if (status != 204)
    out.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
  out += extra_headers;
  if (allowed_origin)
    out.append("Access-Control-Allow-Origin: ").append(*allowed_origin).append("\r\n");
  out.append("Vary: Origin\r\nConnection: close\r\n\r\n").append(body);
  return out;
}

// Returns that `bytes`, now in `response`, are to be sent.
ToolProgress ready(std::string& response, std::string bytes) {
  response = std::move(bytes);
  return {};
}

// A refusal's body is the JSON-RPC error "Invalid Request" for what the client got wrong,
// "Internal error" for a server without room, with the reason phrase as its message.
std::string refusal(int status, std::optional<std::string_view> origin = std::nullopt,
                    std::string_view extra_headers = {}) {
  const int code = status >= 500 ? -32603 : -32600;
  const std::string body = R"({"error":{"code":)" + std::to_string(code) + R"(,"message":")" +
                           std::string(reason_phrase(status)) + R"("},"jsonrpc":"2.0"})";
  return frame_tool_response(status, body, extra_headers, origin);
}

// True when an Authorization value is `Bearer` and `token`. Every byte of the token is compared
// whatever the others are, so the time taken tells nothing of how much of a guess was right; it
// depends on the token's length only.
bool token_matches(const std::string& token, const std::optional<std::string_view>& authorization) {
  if (!authorization) return false;
  const std::string_view value = *authorization;
  const auto space = value.find(' ');
  if (space == std::string_view::npos || !equal_ignoring_case(value.substr(0, space), "bearer")) {
    return false;
  }
  const std::string_view given = trim_ows(value.substr(space + 1));
  unsigned difference = given.size() == token.size() ? 0u : 1u;
  for (std::size_t i = 0; i < token.size(); ++i) {
    const char guess = i < given.size() ? given[i] : '\0';
    difference |= static_cast<unsigned char>(guess ^ token[i]);
  }
  return difference == 0;
}

}  // namespace

bool may_begin_tool_request_line(std::string_view bytes) {
  const auto space = bytes.find(' ');
  const std::string_view method = bytes.substr(0, space);
  if (!is_token(method)) return false;
  if (space == std::string_view::npos) return true;
  const std::string_view target = bytes.substr(space + 1);
  if (target.size() < TOOL_SERVER_PATH.size() && TOOL_SERVER_PATH.starts_with(target)) return true;
  // The absolute form: the scheme, or the start of it, then no space yet (which port it names
  // is known once the line is whole).
  const std::string_view scheme = target.substr(0, HTTP_SCHEME.size());
  return !scheme.empty() && equal_ignoring_case(scheme, HTTP_SCHEME.substr(0, scheme.size())) &&
         target.find(' ') == std::string_view::npos;
}

HeadState read_head(std::string_view bytes, HttpHead& head) {
  for (std::size_t at = head.read;; head.read = at) {
    const auto line_feed = bytes.find('\n', at);
    if (line_feed == std::string_view::npos) return HeadState::INCOMPLETE;
    std::string_view line = bytes.substr(at, line_feed - at);
    if (line.ends_with('\r')) line.remove_suffix(1);
    const bool first = at == 0;
    at = line_feed + 1;
    if (first) {
      if (!is_request_line(line, head)) return HeadState::MALFORMED;
    } else if (line.empty()) {
      head.read = head.size = at;
      return HeadState::COMPLETE;
    } else if (is_ows(line.front()) || !read_field_line(line, head)) {
      // A folded line (one that starts with white space) is refused, as a recipient may.
      return HeadState::MALFORMED;
    }
  }
}

// The dashboard's own origins, http:// and one of its hosts, are allowed as the others are.
ToolPath::ToolPath(ToolServerOptions options, std::uint16_t port)
    : options_(std::move(options)),
      hosts_{"127.0.0.1:" + std::to_string(port), "localhost:" + std::to_string(port)} {
  for (const std::string& host : hosts_) options_.allowed_origins.push_back("http://" + host);
}

bool ToolPath::is_own_host(std::string_view host) const {
  return equal_ignoring_case(host, hosts_[0]) || equal_ignoring_case(host, hosts_[1]);
}

bool ToolRequest::serves(std::string_view target) const {
  const auto split = split_target(target);
  return split && split->path == TOOL_SERVER_PATH &&
         (!split->authority || path_.is_own_host(*split->authority));
}

ToolProgress ToolPath::check(const HttpHead& head, std::string& response) const {
  const auto refuse = [&head, &response](std::string refused, std::size_t declared = 0) {
    // The response to HEAD is the one to GET without its content, whose length it still gives.
    if (head.method == "HEAD") refused.resize(refused.find("\r\n\r\n") + 4);
    response = std::move(refused);
    return ToolProgress{ToolProgress::Next::SEND, declared};
  };
  const auto target = split_target(head.target);
  if (!target || target->path != TOOL_SERVER_PATH) return refuse(refusal(404));
  // Another site's page can reach the loopback port through a name it controls (DNS
  // rebinding): only our own address and name, with our port, are ours. A target in absolute
  // form names the host itself, and then a Host field is ignored.
  const auto& host = target->authority ? target->authority : head[Field::HOST];
  if (!host || !is_own_host(*host)) return refuse(refusal(403));
  const auto& origin = head[Field::ORIGIN];
  const auto& allowed = options_.allowed_origins;
  if (origin && std::ranges::find(allowed, *origin) == allowed.end()) return refuse(refusal(403));

  // A browser's preflight carries no credentials, so it is answered before the token.
  if (head.method == "OPTIONS") {
    if (!origin) return refuse(refusal(405, std::nullopt, ALLOW_POST));
    return refuse(frame_tool_response(204, {}, PREFLIGHT, origin));
  }
  if (options_.token && !token_matches(*options_.token, head[Field::AUTHORIZATION])) {
    return refuse(refusal(401, origin, "WWW-Authenticate: Bearer\r\n"));
  }
  if (head.method != "POST") return refuse(refusal(405, origin, ALLOW_POST));
  const auto& content_type = head[Field::CONTENT_TYPE];  // its media type, before any parameter
  if (!content_type ||
      !equal_ignoring_case(trim_ows(content_type->substr(0, content_type->find(';'))), JSON)) {
    return refuse(refusal(415, origin));
  }
  if (!accepts_json(head[Field::ACCEPT])) return refuse(refusal(406, origin));

  const auto& length_text = head[Field::CONTENT_LENGTH];
  if (head[Field::TRANSFER_ENCODING] || !length_text) return refuse(refusal(411, origin));
  // Past the limit, the length counts on (up to a bound no body reaches) for the connection to
  // read the body and drop it.
  const auto length = parse_length(*length_text, std::numeric_limits<std::size_t>::max() / 16);
  if (!length) return refuse(refusal(400, origin));
  if (*length > TOOL_BODY_LIMIT) return refuse(refusal(413, origin), head.size + *length);
  return {ToolProgress::Next::READ_BODY, head.size + *length};
}

ToolProgress ToolRequest::answer(std::string_view bytes, std::string& response) {
  if (size_ == 0) {
    const HeadState state = read_head(bytes, head_);
    if (state == HeadState::INCOMPLETE && bytes.size() < TOOL_HEAD_LIMIT) {
      return {ToolProgress::Next::READ_HEAD, 0};
    }
    if (state == HeadState::MALFORMED) return ready(response, refusal(400));
    if (state == HeadState::INCOMPLETE || head_.size > TOOL_HEAD_LIMIT) {
      return ready(response, refusal(431));
    }
    const ToolProgress checked = path_.check(head_, response);
    if (checked.next == ToolProgress::Next::SEND) return checked;
    size_ = checked.request_size;
  }
  if (bytes.size() >= size_) {
    const ToolServerReply replied = path_.options_.endpoint(
        {bytes.substr(head_.size, size_ - head_.size), head_[Field::PROTOCOL_VERSION],
         head_[Field::MCP_METHOD], head_[Field::MCP_NAME]});
    const std::string_view sent = replied.status == 202 ? std::string_view() : replied.body;
    return ready(response, frame_tool_response(replied.status, sent, {}, head_[Field::ORIGIN]));
  }
  if (held_ == 0) {
    // Only a request that passed every check waits for its body, so its origin is allowed.
    if (size_ > budget_.limit - budget_.held)
      return ready(response, refusal(503, head_[Field::ORIGIN]));
    budget_.held += size_;
    held_ = size_;
  }
  // Until some of the body has arrived, a client that expects it waits for CONTINUE.
  return {ToolProgress::Next::READ_BODY, size_,
          bytes.size() == head_.size && expects_continue(head_)};
}

void ToolRequest::moved(const char* from, const char* to) {
  const auto move = [from, to](std::string_view& view) {
    if (!view.empty()) view = {to + (view.data() - from), view.size()};
  };
  move(head_.method);
  move(head_.target);
  move(head_.version);
  for (auto& field : head_.fields) {
    if (field) move(*field);
  }
}

}  // namespace qmr::ui
