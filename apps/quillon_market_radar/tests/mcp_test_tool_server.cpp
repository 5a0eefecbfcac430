// The line handler byte for byte: the ids echoed, the requests answered and refused, each
// revision's golden transcript and malformed requests, and what a session keeps.
#include <string>
#include <utility>
#include <vector>

#include "base/json_writer.hpp"
#include "mcp_test.hpp"

namespace qmr::mcp {
namespace {

using namespace tests;

TEST(HandleLine, EchoesEveryKindOfIdAsGiven) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {R"("abc")", R"("abc")"},
      {"7", "7"},
      {"-3", "-3"},
      {"1.5", "1.5"},
      {"1.0", "1.0"},
      {"null", "null"},
      {"true", "true"},
      {"1e2", "100.0"},
      {"-0.0", "-0.0"},
      {"-0", "0"},
      {"123456789012345678", "123456789012345678"},
      {"18446744073709551615", "18446744073709551615"},
      {"-9223372036854775808", "-9223372036854775808"},
      // Beyond the 64-bit ranges an integer is held as a float.
      {"18446744073709551616", "18446744073709551616.0"},
      {R"({"b":1,"a":[2,{"d":0,"c":"x"}]})", R"({"a":[2,{"c":"x","d":0}],"b":1})"},
      {R"("a/b\u00e9\ud83d\uded2\u0001")", "\"a/b\u00e9\U0001F6D2\\u0001\""},
  };
  for (const auto& [given, echoed] : cases) {
    EXPECT_EQ(answer(R"({"id":)" + std::string(given) + R"(,"method":"tools/list"})"),
              success_line(echoed, TOOLS_LIST_RESULT))
        << given;
    EXPECT_EQ(answer(R"({"method":"nope","id":)" + std::string(given) + "}"), error_line(echoed))
        << given;
  }
}

TEST(HandleLine, AnswersNoNotificationButEveryRequestWithAnId) {
  // An object with a string method and no id gets no answer, whatever the method and however
  // its members are written.
  for (const std::string_view line : {
           R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
           R"({"jsonrpc":"2.0","method":"notifications\/cancelled","params":{"requestId":1}})",
           R"({"method":"tools/list"})",
           R"({"method":"ping","params":{}})",
           R"({"method":"unknown","x":1e5})",
           R"({"method":5,"method":"initialize"})",
       }) {
    EXPECT_EQ(answer(line), std::nullopt) << line;
  }
  // An explicit null is an id; ping answers with an empty result, params or not.
  EXPECT_EQ(answer(R"({"id":null,"method":"ping"})"), success_line("null", "{}"));
  EXPECT_EQ(answer(R"({"id":"k\u0065ep","method":"ping","params":{"_meta":{}}})"),
            success_line(R"("keep")", "{}"));
  EXPECT_EQ(answer(R"({"id":null,"method":"notifications/initialized"})"), error_line("null"));
}

// What names no method of ours, no string or none matched exactly, gets -32601 with the id: null
// for a request that is no object.
TEST(HandleLine, AnswersWhatNamesNoMethodOfOursWithTheError) {
  const std::string without_id(METHOD_NOT_FOUND_NULL_ID);
  std::vector<std::pair<std::string, std::string>> cases = {
      {"42", without_id},
      {"[1,2]", without_id},
      {R"("initialize")", without_id},
      {"null", without_id},
      {"{}", without_id},
      // An array holding a request is still not a request.
      {R"([{"id":1,"method":"initialize"}])", without_id},
      {R"({"id":5,"method":5})", error_line("5")},
      {R"({"id":5,"method":null})", error_line("5")},
      {R"({"id":5,"method":["initialize"]})", error_line("5")},
      {R"({"id":5})", error_line("5")},
  };
  for (const std::string& method :
       {std::string("Initialize"), std::string("INITIALIZE"), std::string("tools/list "),
        std::string(" tools/list"), std::string("tools/List"), std::string("tools/call\0", 11),
        std::string("tools.call"), std::string("tools/"), std::string()}) {
    cases.emplace_back(json::Value{{"id", 9}, {"method", method}}.dump(), error_line("9"));
  }
  for (const auto& [line, expected] : cases) EXPECT_EQ(answer(line), expected) << line;
}

TEST(HandleLine, NeitherReadsNorChecksTheJsonRpcVersion) {
  EXPECT_EQ(answer(R"({"jsonrpc":"1.0","id":1,"method":"initialize"})"),
            success_line("1", INITIALIZE_RESULT));
  EXPECT_EQ(answer(R"({"jsonrpc":2,"id":1,"method":"initialize","extra":[1]})"),
            success_line("1", INITIALIZE_RESULT));
}

TEST(HandleLine, LastOfRepeatedMembersWins) {
  EXPECT_EQ(answer(R"({"id":1,"method":"ping","id":"two","method":"initialize"})"),
            success_line(R"("two")", INITIALIZE_RESULT));
  EXPECT_EQ(tool_text(R"({"name":"x","name":"market_jan_aushadhi"})"), SEEDED_MEDICINES_TEXT);
}

// Each revision's golden transcript, written by the server before it was last reshaped: a whole
// session answered byte for byte (the products' check times are "T" in it), and its end, since
// a line that is not UTF-8 ends the run unless the row skips it.
TEST_P(EachRevision, AnswersItsGoldenTranscriptByteForByte) {
  const auto [input, expected] = transcript();
  const auto served = serve(input, golden_engine());
  EXPECT_EQ(served.output, expected);
  EXPECT_EQ(served.status.ok(), revision().skips_invalid_utf8);
}

// Requests whose schemas the revisions with protocol errors refuse: the id neither a string nor
// an integer (answered without it), or no string method (answered with the id). The first
// revision answers them as it always did. Each line is sent in the revision's own way: after its
// `initialize`, or naming it in `_meta` (PARAMS).
TEST_P(EachRevision, AnswersMalformedRequestsInItsOwnShapes) {
  const std::string invalid_without_id(INVALID_WITHOUT_ID);
  const auto invalid = invalid_request;
  // Each line, with the answer with protocol errors (empty: -32601 as without) and without.
  const struct {
    std::string_view line;
    std::string with_errors;
    std::string without;
  } cases[] = {
      {R"({"id":null,"method":"nope"PARAMS})", invalid_without_id, error_line("null")},
      {R"({"id":true,"method":"nope"PARAMS})", invalid_without_id, error_line("true")},
      {R"({"id":{"b":1,"a":[]},"method":"nope"PARAMS})", invalid_without_id,
       error_line(R"({"a":[],"b":1})")},
      {R"({"id":[7],"method":"nope"PARAMS})", invalid_without_id, error_line("[7]")},
      {R"({"id":1.0,"method":"nope"PARAMS})", invalid_without_id, error_line("1.0")},
      {R"({"id":1e2,"method":"nope"PARAMS})", invalid_without_id, error_line("100.0")},
      {R"({"id":18446744073709551616,"method":"nope"PARAMS})", invalid_without_id,
       error_line("18446744073709551616.0")},
      {R"({"id":18446744073709551615,"method":"nope"PARAMS})", "",
       error_line("18446744073709551615")},
      {R"({"id":-9223372036854775808,"method":"nope"PARAMS})", "",
       error_line("-9223372036854775808")},
      {R"({"id":-0,"method":"nope"PARAMS})", "", error_line("0")},
      {R"({"id":"s\u0031","method":"nope"PARAMS})", "", error_line(R"("s1")")},
      {R"({"jsonrpc":"2.0","id":7PARAMS})", invalid("7"), error_line("7")},
      {R"({"id":"7","method":null PARAMS})", invalid(R"("7")"), error_line(R"("7")")},
      {R"({"id":7,"method":["tools/list"]PARAMS})", invalid("7"), error_line("7")},
      {R"({"method":5 PARAMS})", invalid_without_id, error_line("null")},
  };
  const std::string params =
      revision().era == Era::HANDSHAKE
          ? ""
          : R"(,"params":{"_meta":{"io.modelcontextprotocol/protocolVersion":")" +
                std::string(revision().name) + R"("}})";
  for (const auto& [line, with_errors, without] : cases) {
    std::string request(line);
    request.replace(request.find("PARAMS"), 6, params);
    LineHandler handler(seeded());
    std::string out;
    if (revision().era == Era::HANDSHAKE) {
      ASSERT_TRUE(handler.answer(R"({"id":0,"method":"initialize","params":{"protocolVersion":")" +
                                     std::string(revision().name) + R"("}})",
                                 out));
    }
    out.clear();
    ASSERT_TRUE(handler.answer(request, out)) << request;
    const std::string& expected =
        revision().protocol_errors && !with_errors.empty() ? with_errors : without;
    EXPECT_EQ(out, expected) << request;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, EachRevision, testing::Range<std::size_t>(0, REVISIONS.size()),
                         [](const testing::TestParamInfo<std::size_t>& row) {
                           std::string name(REVISIONS.at(row.param).name);
                           std::replace(name.begin(), name.end(), '-', '_');
                           return "V" + name;
                         });

TEST(Sessions, KeepTheLastHandshakeAndTheRevisionLastSet) {
  const auto initialize = [](std::string_view params) {
    return R"({"id":1,"method":"initialize","params":)" + std::string(params) + "}";
  };
  const auto named = [](std::string_view version) {
    return R"({"id":2,"method":"server/discover","params":{"_meta":{"io.modelcontextprotocol/protocolVersion":)" +
           std::string(version) + "}}}";
  };
  // The lines that open a session; the handshake revision a request naming none is answered
  // under after them, and whether a line that is not UTF-8 is then skipped.
  const struct {
    std::vector<std::string> opening;
    std::string_view handshake;
    bool skips;
  } cases[] = {
      {{}, "2024-11-05", false},
      {{initialize(R"({"protocolVersion":"2025-06-18"})")}, "2025-06-18", true},
      {{initialize(R"({"protocolVersion":"2025-1\u0031-25"})")}, "2025-11-25", true},
      // Any other version, or none, gets the first revision.
      {{initialize(R"({"protocolVersion":"2026-07-28"})")}, "2024-11-05", false},
      {{initialize(R"({"protocolVersion":"2099-01-01"})")}, "2024-11-05", false},
      {{initialize(R"({"protocolVersion":20250618})")}, "2024-11-05", false},
      {{initialize(R"("2025-06-18")")}, "2024-11-05", false},
      // The last handshake holds.
      {{initialize(R"({"protocolVersion":"2025-06-18"})"),
        initialize(R"({"protocolVersion":"2024-11-05"})")},
       "2024-11-05",
       false},
      // A request naming its revision leaves the handshake's alone, and sets the session's
      // revision until the next initialize; one refused sets nothing.
      {{named(R"("2026-07-28")")}, "2024-11-05", true},
      {{initialize(R"({"protocolVersion":"2025-11-25"})"), named(R"("2026-07-28")")},
       "2025-11-25",
       true},
      {{named(R"("2026-07-28")"), initialize(R"({"protocolVersion":"2024-11-05"})")},
       "2024-11-05",
       false},
      {{named(R"("2025-06-18")")}, "2024-11-05", false},
      {{named(R"(["2026-07-28"])")}, "2024-11-05", false},
  };
  for (const auto& [opening, handshake, skips] : cases) {
    std::string input;
    for (const std::string& line : opening) input += line + "\n";
    const auto served = serve(input + TOOLS_LIST + "\n\xFF\n" + R"({"id":3,"method":"ping"})");
    // The tools list as a session opened by an initialize for `handshake` alone has it.
    LineHandler reference(seeded());
    std::string listed;
    ASSERT_TRUE(reference.answer(
        initialize(R"({"protocolVersion":")" + std::string(handshake) + R"("})"), listed));
    listed.clear();
    ASSERT_TRUE(reference.answer(TOOLS_LIST, listed));
    const std::string end = listed + "\n" +
                            (skips ? R"({"id":3,"jsonrpc":"2.0","result":{}})"
                                     "\n"
                                   : "");
    EXPECT_TRUE(served.output.ends_with(end)) << input << served.output;
    EXPECT_EQ(served.status.ok(), skips) << input;
  }
}

TEST(Sessions, RefuseVersionsNotServedPerRequest) {
  const auto line = [](std::string_view members, std::string_view version) {
    return std::string("{").append(members) +
           R"(,"params":{"_meta":{"io.modelcontextprotocol/protocolVersion":)" +
           std::string(version) + "}}}";
  };
  const auto refused = [](std::string_view id, std::string_view requested) {
    return R"({"error":{"code":-32022,"data":{"requested":)" + std::string(requested) +
           R"(,"supported":["2026-07-28"]},"message":"Unsupported protocol version"},"id":)" +
           std::string(id) + R"(,"jsonrpc":"2.0"})";
  };
  const std::string invalid(INVALID_WITHOUT_ID);
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {line(R"("id":5,"method":"tools/list")", R"("2025-11-25")"), refused("5", R"("2025-11-25")")},
      {line(R"("id":5,"method":"tools/list")", R"("a\"\u00e9\/")"),
       refused("5", "\"a\\\"\u00e9/\"")},
      {line(R"("id":5,"method":"tools/list")", R"({"b":[1e4,"x\"y"],"a":null})"),
       refused("5", R"("{\"a\":null,\"b\":[10000.0,\"x\\\"y\"]}")")},
      {line(R"("id":"5")", "7"), refused(R"("5")", R"("7")")},
      // Without an id there is none to echo, and no null one.
      {line(R"("method":5)", R"("2099-01-01")"), invalid},
      {line(R"("id":null,"method":"ping")", R"("2099-01-01")"), invalid},
      {line(R"("method":"ping")", R"("2099-01-01")"), std::nullopt},
  };
  for (const auto& [request, expected] : cases) EXPECT_EQ(answer(request), expected) << request;
}

}  // namespace
}  // namespace qmr::mcp
