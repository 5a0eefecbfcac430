// The transport over HTTP: each transcript line posted alone answered as stdio answers it, what
// is no request of ours, and the headers of a request held to its body by its revision's row.
#include <algorithm>
#include <cstdint>
#include <string>

#include "base/json_writer.hpp"
#include "base/text.hpp"
#include "mcp/app_view.hpp"
#include "mcp/http_transport.hpp"
#include "mcp/request_reader.hpp"
#include "mcp_test.hpp"

namespace qmr::mcp {
namespace {

using namespace tests;

// Encodes `bytes` in base64 with padding, as a client writes a header value that is no plain text.
std::string base64(std::string_view bytes) {
  constexpr std::string_view DIGITS =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    const std::size_t count = std::min<std::size_t>(3, bytes.size() - at);
    std::uint32_t group = 0;
    for (std::size_t i = 0; i != 3; ++i) {
      group = group << 8 | (i < count ? static_cast<unsigned char>(bytes[at + i]) : 0u);
    }
    for (std::size_t i = 0; i != 4; ++i)
      out += i <= count ? DIGITS[group >> (18 - 6 * i) & 63] : '=';
  }
  return out;
}

// The tool-server headers of a POST.
struct Headers {
  // Written out so that a table row may leave the later headers out.
  Headers(std::optional<std::string> version = {}, std::optional<std::string> mcp_method = {},
          std::optional<std::string> mcp_name = {})
      : protocol_version(std::move(version)),
        method(std::move(mcp_method)),
        name(std::move(mcp_name)) {}

  std::optional<std::string> protocol_version;
  std::optional<std::string> method;
  std::optional<std::string> name;
};

ToolServerReply post(const ToolServerEndpoint& endpoint, std::string_view body,
                     const Headers& headers) {
  const auto view = [](const std::optional<std::string>& text) {
    return text ? std::optional<std::string_view>(*text) : std::nullopt;
  };
  return endpoint({body, view(headers.protocol_version), view(headers.method), view(headers.name)});
}

// The headers a client of `revision` sends with `body`: after the handshake, the version it
// negotiated; per request, the ones mirroring the body (Mcp-Name, the tool called or the address
// read, in base64 when it is no plain text).
Headers headers_of(std::string_view body, const Revision& revision) {
  if (revision.era == Era::HANDSHAKE) return {std::string(revision.name), {}, {}};
  // The string at `key` of `object`, when `object` is an object and it is there.
  const auto string_at = [](const json::Value* object,
                            const char* key) -> std::optional<std::string> {
    if (!object || !object->is_object() || !object->contains(key)) return std::nullopt;
    const auto& value = object->at(key);
    return value.is_string() ? std::optional(value.get<std::string>()) : std::nullopt;
  };
  const auto member = [](const json::Value* object, const char* key) -> const json::Value* {
    return object && object->is_object() && object->contains(key) ? &object->at(key) : nullptr;
  };
  const auto value = json::Value::parse(body, nullptr, false);
  const json::Value* params = member(&value, "params");
  Headers headers{string_at(member(params, "_meta"), "io.modelcontextprotocol/protocolVersion"),
                  string_at(&value, "method"), std::nullopt};
  if (headers.method == "tools/call" || headers.method == "resources/read") {
    headers.name = string_at(params, headers.method == "tools/call" ? "name" : "uri");
    const auto plain = [](char byte) { return byte >= 0x20 && byte <= 0x7E; };
    if (headers.name && !std::all_of(headers.name->begin(), headers.name->end(), plain)) {
      headers.name = "=?base64?" + base64(*headers.name) + "?=";
    }
  }
  return headers;
}

// Each line of each revision's transcript posted alone, with the headers its client sends: every
// line stdio answers gets the same bytes, with the status of what it is (a refusal 400, a method a
// revision served per request does not have 404), but for a line that is no object, which the
// transport refuses before the dispatcher sees it; a notification gets 202 and no body, any other
// line the parse error.
TEST_P(EachRevision, AnswersEachTranscriptLinePostedAloneAsStdioDoes) {
  const auto [input, output] = transcript();
  const auto engine = golden_engine();
  const ToolServerEndpoint endpoint = http_endpoint(engine);
  LineHandler stdio(engine);
  std::string_view answers = output;
  std::size_t answered = 0;
  for (std::string_view lines = input; !lines.empty();) {
    const std::string_view line = lines.substr(0, lines.find('\n'));
    lines.remove_prefix(std::min(lines.size(), line.size() + 1));
    // Stdio ends the run at a line that is not UTF-8 unless the revision skips it.
    if (!text::is_valid_utf8(line) && !stdio.session().revision->skips_invalid_utf8) break;
    const ToolServerReply reply = post(endpoint, line, headers_of(line, revision()));
    std::string ignored;
    const auto value = json::Value::parse(line, nullptr, false);
    if (!stdio.answer(line, ignored)) {
      const bool notification = !value.is_discarded() && value.is_object() &&
                                !value.contains("id") && value.contains("method");
      EXPECT_EQ(reply.status, notification ? 202 : 400) << line;
      EXPECT_EQ(reply.body, notification ? ""
                                         : R"({"error":{"code":-32700,"message":"Parse error"},)"
                                           R"("jsonrpc":"2.0"})")
          << line;
      continue;
    }
    const std::string_view expected = answers.substr(0, answers.find('\n'));
    answers.remove_prefix(std::min(answers.size(), expected.size() + 1));
    ++answered;
    if (!value.is_object()) {
      EXPECT_EQ(reply.status, 400) << line;
      EXPECT_EQ(reply.body, INVALID_WITHOUT_ID) << line;
      continue;
    }
    EXPECT_EQ(reply.body, expected) << line;
    const auto answer = json::Value::parse(expected);
    const int code = answer.contains("error") ? answer["error"]["code"].get<int>() : 0;
    const int status = code == -32600 || code == -32022                       ? 400
                       : code == -32601 && revision().era == Era::PER_REQUEST ? 404
                                                                              : 200;
    EXPECT_EQ(reply.status, status) << line;
  }
  EXPECT_TRUE(answers.empty()) << "answers left over: " << answers;
  EXPECT_GT(answered, 15u);
}

// The answers of the transport over HTTP beside the dispatcher's: what is no request of ours
// (no JSON, no object, a response, a notification), the version a handshake revision's request is
// served under, and the headers of a request served per request held to its body. Each body with
// its headers, the status and the answer.
TEST(HttpEndpoint, TakesOneRequestAndHoldsItsHeadersToItsBody) {
  const std::string no_request(INVALID_WITHOUT_ID);
  const auto invalid = invalid_request;
  const auto mismatch = [](std::string_view id, std::string_view message) {
    return R"({"error":{"code":-32020,"message":"Header mismatch: )" + std::string(message) +
           R"("},)" + (id.empty() ? "" : R"("id":)" + std::string(id) + ",") +
           R"("jsonrpc":"2.0"})";
  };
  // A request served per request: `members`, then params naming the version and holding `params`.
  const auto named = [](std::string_view members, std::string_view params = "") {
    return std::string("{").append(members) +
           R"(,"params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"})" +
           std::string(params) + "}}";
  };
  // What stdio answers `line` with, after an initialize for `handshake` when there is one.
  const auto stdio = [](std::string_view line, std::string_view handshake = "") {
    LineHandler handler(seeded());
    std::string out;
    if (!handshake.empty()) {
      EXPECT_TRUE(handler.answer(R"({"id":0,"method":"initialize","params":{"protocolVersion":")" +
                                     std::string(handshake) + R"("}})",
                                 out));
      out.clear();
    }
    EXPECT_TRUE(handler.answer(line, out)) << line;
    return out;
  };
  const std::string list = R"({"id":5,"method":"tools/list"})";
  const std::string ping_null = R"({"id":null,"method":"ping"})";
  const std::string modern_list = named(R"("id":7,"method":"tools/list")");
  const std::string call =
      named(R"("id":7,"method":"tools/call")", R"(,"name":"market_jan_aushadhi")");
  const std::string nameless_call = named(R"("id":7,"method":"tools/call")");
  const std::string methodless = named(R"("id":7,"method":5)");
  const std::string unsupported =
      R"({"id":7,"method":"tools/list","params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2099-01-01"}}})";
  const std::string unnamed_version =
      R"({"id":7,"method":"tools/list","params":{"_meta":{"io.modelcontextprotocol/protocolVersion":7}}})";
  const std::string read_view =
      R"({"id":7,"method":"resources/read","params":{"uri":")" + std::string(APP_VIEW_URI) +
      R"(","_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28",)"
      R"("io.modelcontextprotocol/clientCapabilities":{"extensions":{"io.modelcontextprotocol/ui":)"
      R"({"mimeTypes":[")" +
      std::string(APP_VIEW_MIME_TYPE) + R"("]}}}}}})";
  const std::string declaring_handshake =
      R"({"id":1,"method":"initialize","params":{"protocolVersion":"2025-11-25","capabilities":)"
      R"({"extensions":{"io.modelcontextprotocol/ui":{"mimeTypes":[")" +
      std::string(APP_VIEW_MIME_TYPE) + R"("]}}}}})";
  const Headers modern{"2026-07-28", "tools/list", {}};
  const Headers calling{"2026-07-28", "tools/call", "market_jan_aushadhi"};
  const auto naming = [&](std::string name) { return Headers{"2026-07-28", "tools/call", name}; };
  const struct {
    std::string body;
    Headers headers;
    int status;
    std::string answer;
  } cases[] = {
      // One object, one message (a body that is no JSON is in the transcripts).
      {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", {}, 400, no_request},
      {R"("ping")", modern, 400, no_request},
      // A response is taken by the handshake revisions and refused per request; a notification
      // is taken whatever its headers.
      {R"({"jsonrpc":"2.0","id":1,"result":{}})", {}, 202, ""},
      {R"({"jsonrpc":"2.0","id":"s","error":{"code":-1,"message":"no"}})", {"2025-11-25"}, 202, ""},
      {R"({"jsonrpc":"2.0","id":1,"result":{}})", {"2026-07-28"}, 400, no_request},
      {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", {"2099-01-01"}, 202, ""},
      {named(R"("method":"notifications/cancelled")"), {"2025-11-25", "x"}, 202, ""},
      // Handshake revisions: the header's, the first one without it or for 2025-03-26, and an
      // initialize negotiating its own.
      {list, {}, 200, success_line("5", TOOLS_LIST_RESULT)},
      {list, {"2025-03-26"}, 200, success_line("5", TOOLS_LIST_RESULT)},
      {list, {"2024-11-05"}, 200, success_line("5", TOOLS_LIST_RESULT)},
      {list, {"2025-11-25"}, 200, stdio(list, "2025-11-25")},
      {list, {"2099-01-01"}, 400, invalid("5")},
      {list, {"2025-11-25 "}, 400, invalid("5")},
      {ping_null, {"2099-01-01"}, 400, no_request},
      {R"({"id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})",
       {"2099-01-01"},
       200,
       stdio(R"({"id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})")},
      {ping_null, {"2025-11-25"}, 400, no_request},
      // Per request: each header there where the body has its value, and equal to it.
      {modern_list, modern, 200, stdio(modern_list)},
      {named(R"("id":7,"method":"tools/list")", ""),
       {"2026-07-28", "tools/list", "x"},
       200,
       stdio(modern_list)},
      {modern_list,
       {{}, "tools/list"},
       400,
       mismatch("7", "MCP-Protocol-Version header is missing")},
      {modern_list,
       {"2025-11-25", "tools/list"},
       400,
       mismatch("7",
                "MCP-Protocol-Version header value '2025-11-25' does not match body value "
                "'2026-07-28'")},
      {R"({"id":7,"method":"tools/list"})", modern, 400,
       mismatch("7", "MCP-Protocol-Version header value '2026-07-28' has no body value to match")},
      {R"({"id":7,"method":"tools/list","params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-2\u0038"}}})",
       modern, 200, stdio(modern_list)},
      {modern_list, {"2026-07-28"}, 400, mismatch("7", "Mcp-Method header is missing")},
      {modern_list,
       {"2026-07-28", "Tools/list"},
       400,
       mismatch("7",
                "Mcp-Method header value 'Tools/list' does not match body value 'tools/list'")},
      {call, calling, 200, stdio(call)},
      {call, {"2026-07-28", "tools/call"}, 400, mismatch("7", "Mcp-Name header is missing")},
      {call, naming("market_review_defects"), 400,
       mismatch("7",
                "Mcp-Name header value 'market_review_defects' does not match body value "
                "'market_jan_aushadhi'")},
      {call, naming("=?base64?" + base64("market_jan_aushadhi") + "?="), 200, stdio(call)},
      {call, naming("=?base64?bWFya2V0X2phbl9hdXNoYWRoaQ?="), 200, stdio(call)},
      {named(R"("id":7,"method":"tools/call")", R"(,"name":"market_jan\u005faushadhi")"), calling,
       200, stdio(call)},
      {call, naming("=?base64?*?="), 400,
       mismatch("7", "Mcp-Name header value '=?base64?*?=' is not valid base64")},
      {call, naming("a\"b\\\t"), 400,
       mismatch(
           "7",
           R"(Mcp-Name header value 'a\"b\\\t' does not match body value 'market_jan_aushadhi')")},
      {call, naming("market_jan_aushadhi\xC3\xA9"), 400,
       mismatch("7", "Mcp-Name header value has invalid characters")},
      {named(R"("id":7,"method":"resources/read")", R"(,"uri":"ui://x")"),
       {"2026-07-28", "resources/read", "ui://y"},
       400,
       mismatch("7", "Mcp-Name header value 'ui://y' does not match body value 'ui://x'")},
      // The view goes to a request that declares it in its own _meta, as on stdio.
      {read_view,
       {"2026-07-28", "resources/read", std::string(APP_VIEW_URI)},
       200,
       stdio(read_view)},
      // ... and not to a handshake, whose declaration there is no session to keep for the
      // requests after it.
      {declaring_handshake,
       {},
       200,
       stdio(R"({"id":1,"method":"initialize","params":{"protocolVersion":"2025-11-25"}})")},
      {nameless_call, naming("x"), 400,
       mismatch("7", "Mcp-Name header value 'x' has no body value to match")},
      {nameless_call, {"2026-07-28", "tools/call"}, 200, stdio(nameless_call)},
      {methodless,
       {"2026-07-28", "tools/list"},
       400,
       mismatch("7", "Mcp-Method header value 'tools/list' has no body value to match")},
      {methodless, {"2026-07-28"}, 400, stdio(methodless)},
      {named(R"("id":null,"method":"tools/list")"),
       {"2026-07-28"},
       400,
       mismatch("", "Mcp-Method header is missing")},
      {named(R"("id":null,"method":"tools/list")"), modern, 400, no_request},
      {named(R"("id":7,"method":"ping")"),
       {"2026-07-28", "ping"},
       404,
       stdio(named(R"("id":7,"method":"ping")"))},
      {unsupported, {"2099-01-01", "tools/list"}, 400, stdio(unsupported)},
      {unnamed_version, {"7", "tools/list"}, 400, stdio(unnamed_version)},
  };
  const ToolServerEndpoint endpoint = http_endpoint(seeded());
  for (const auto& [body, headers, status, answer] : cases) {
    const ToolServerReply reply = post(endpoint, body, headers);
    EXPECT_EQ(reply.status, status) << body;
    EXPECT_EQ(reply.body, answer) << body;
  }
}

}  // namespace
}  // namespace qmr::mcp
