// What the methods give under a revision and the extensions declared: the view offered only where
// it is declared, and a read without an address.
#include <string>
#include <vector>

#include "base/json_writer.hpp"
#include "mcp/app_view.hpp"
#include "mcp/request_reader.hpp"
#include "mcp_test.hpp"

namespace qmr::mcp {
namespace {

using namespace tests;

// A read in a session whose client declared the view, in each revision: a read without an address
// that is a string has invalid params; an address that names no resource gets the row's error.
TEST_P(EachRevision, RefusesAReadWithoutAnAddressAsInvalidParams) {
  const Extension& view = EXTENSIONS.front();
  const std::string capabilities = R"({"extensions":{")" + std::string(view.key) +
                                   R"(":{"mimeTypes":[")" + std::string(view.media_type) +
                                   R"("]}}})";
  const std::string invalid =
      R"({"error":{"code":-32602,"message":"Invalid params: uri must be a string"},"id":2,)"
      R"("jsonrpc":"2.0"})";
  const auto missing = [&](std::string_view uri) {
    return R"({"error":{"code":)" + std::to_string(revision().missing_resource_code) +
           R"(,"data":{"uri":")" + std::string(uri) +
           R"("},"message":"Resource not found"},"id":2,"jsonrpc":"2.0"})";
  };
  // The members of params, and the answer.
  const std::pair<std::string_view, std::string> cases[] = {
      {"", invalid},
      {R"("uri":7,)", invalid},
      {R"("uri":null,)", invalid},
      {R"("uri":["ui://x"],)", invalid},
      {R"("uri":"ui://x","uri":{},)", invalid},
      {R"("uri":"",)", missing("")},
      {R"("uri":{},"uri":"ui:\/\/x",)", missing("ui://x")},
  };
  const bool handshake = revision().era == Era::HANDSHAKE;
  for (const auto& [members, expected] : cases) {
    LineHandler handler(seeded());
    std::string out;
    if (handshake) {
      ASSERT_TRUE(handler.answer(R"({"id":1,"method":"initialize","params":{"protocolVersion":")" +
                                     std::string(revision().name) + R"(","capabilities":)" +
                                     capabilities + "}}",
                                 out));
    }
    const std::string meta =
        handshake
            ? "{}"
            : R"({"io.modelcontextprotocol/protocolVersion":")" + std::string(revision().name) +
                  R"(","io.modelcontextprotocol/clientCapabilities":)" + capabilities + "}";
    const std::string request = R"({"id":2,"method":"resources/read","params":{)" +
                                std::string(members) + R"("_meta":)" + meta + "}}";
    out.clear();
    ASSERT_TRUE(handler.answer(request, out)) << request;
    EXPECT_EQ(out, expected) << request;
  }
}

// The view goes to the clients that declare it, and to no other: a session after an initialize
// that declared it, a request of the per-request era for itself when its own _meta declares it.
// Over HTTP every request is answered in a fresh session, where only the latter can hold.
TEST(Sessions, OfferTheViewOnlyWhereItIsDeclared) {
  const std::string declared =
      R"({"extensions":{"io.modelcontextprotocol/ui":{"mimeTypes":["text/html;profile=mcp-app"]}}})";
  const auto initialize = [&](std::string_view version, bool declares) {
    return R"({"id":1,"method":"initialize","params":{"protocolVersion":")" + std::string(version) +
           R"(","capabilities":)" + (declares ? declared : "{}") + "}}";
  };
  // A request of `method`, naming `version` in _meta unless it is empty, whose _meta declares the
  // view or not.
  const auto request = [&](std::string_view method, std::string_view version, bool declares) {
    std::string meta;
    if (!version.empty()) {
      meta += R"("io.modelcontextprotocol/protocolVersion":")" + std::string(version) + R"(")";
    }
    if (declares) {
      if (!meta.empty()) meta += ',';
      meta += R"("io.modelcontextprotocol/clientCapabilities":)" + declared;
    }
    return R"({"id":2,"method":")" + std::string(method) + R"(","params":{"uri":")" +
           std::string(APP_VIEW_URI) + R"(","_meta":{)" + meta + "}}}";
  };
  // An answer offers the view by its address, or by its capabilities declaring the extension.
  const auto offers = [](const std::string& answer) {
    return answer.find(APP_VIEW_URI) != std::string::npos ||
           answer.find(R"("extensions":{"io.modelcontextprotocol/ui":{}})") != std::string::npos;
  };
  const std::string_view modern = REVISIONS.back().name;
  // The lines of a session; whether the last one's answer offers the view in one session, and
  // in a fresh session of its own.
  const struct {
    std::vector<std::string> lines;
    bool view;
    bool view_alone;
  } cases[] = {
      {{initialize("2024-11-05", true), request("tools/list", "", false)}, true, false},
      {{initialize("2025-06-18", true), request("resources/read", "", false)}, true, false},
      {{initialize("2099-01-01", true), request("resources/read", "", false)}, true, false},
      {{initialize("2025-11-25", true)}, true, true},
      {{initialize("2025-11-25", false), request("tools/list", "", true)}, false, false},
      {{initialize("2025-11-25", true), initialize("2025-11-25", false),
        request("tools/list", "", false)},
       false,
       false},
      {{request("resources/read", modern, true)}, true, true},
      {{request("server/discover", modern, true)}, true, true},
      {{request("tools/list", modern, true), request("tools/list", "", false)}, false, false},
      {{request("tools/list", modern, true), request("tools/list", modern, false)}, false, false},
      {{initialize("2025-11-25", true), request("tools/list", modern, false)}, false, false},
      {{initialize("2025-11-25", true), request("tools/list", modern, true),
        request("tools/list", "", false)},
       true,
       false},
  };
  for (const auto& [lines, view, view_alone] : cases) {
    LineHandler handler(seeded());
    std::string out;
    for (const std::string& line : lines) {
      out.clear();
      ASSERT_TRUE(handler.answer(line, out)) << line;
    }
    EXPECT_EQ(offers(out), view) << lines.back() << "\n" << out;
    std::string alone;
    const auto last = read_request(lines.back());
    static_cast<void>(handler.respond(*last, decide(*last, Session()), alone));
    EXPECT_EQ(offers(alone), view_alone) << lines.back();
  }
}

}  // namespace
}  // namespace qmr::mcp
