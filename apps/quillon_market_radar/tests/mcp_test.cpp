// The tool server without a process: the per-line handler byte for byte, the line parser's
// limits, the methods and tools, and the stdio loop on files and pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "base/text.hpp"
#include "engine/market_engine.hpp"
#include "mcp/app_view.hpp"
#include "mcp/http_transport.hpp"
#include "mcp/methods.hpp"
#include "mcp/request_reader.hpp"
#include "mcp/revisions.hpp"
#include "mcp/stdio_transport.hpp"
#include "mcp/tool_server.hpp"
#include "support/json_line.hpp"
#include "support/reference_forms.hpp"

namespace qmr::mcp {
namespace {

constexpr std::string_view METHOD_NOT_FOUND_NULL_ID =
    R"({"error":{"code":-32601,"message":"Method not found"},"id":null,"jsonrpc":"2.0"})";

constexpr std::string_view INITIALIZE_RESULT =
    R"({"capabilities":{"tools":{}},"protocolVersion":"2024-11-05","serverInfo":{"name":"quillon_market_radar","version":"1.0.0"}})";

constexpr std::string_view TOOLS_LIST_RESULT =
    R"({"tools":[{"description":"Search competitor prices across Amazon and Flipkart with sub-0.1ms latency.","inputSchema":{"properties":{"query":{"type":"string"}},"type":"object"},"name":"market_search_products"},{"description":"Extract manufacturing defect intelligence and fake review ratios.","inputSchema":{"type":"object"},"name":"market_review_defects"},{"description":"Match branded medicine to 70%+ cheaper Jan Aushadhi generic equivalent.","inputSchema":{"type":"object"},"name":"market_jan_aushadhi"}]})";

constexpr std::string_view SEEDED_REVIEWS_TEXT =
    R"j([{"fake_review_ratio_percent":28.4,"manufacturer_defect_score":8.6,"product_asin":"B09G9FPHY6","top_defects":["Display flickering after 30 days (14.2%)","Charging dock magnetic pin loose (9.8%)","Inaccurate step counter algorithm (7.1%)"],"total_reviews_analyzed":4200}])j";

constexpr std::string_view SEEDED_MEDICINES_TEXT =
    R"j([{"branded_medicine_name":"Augmentin 625 Duo Tablet","branded_price_inr":204.0,"jan_aushadhi_generic_name":"Amoxycillin & Potassium Clavulanate Tablets IP 625mg","jan_aushadhi_price_inr":58.0,"salt_composition":"Amoxycillin (500mg) + Clavulanic Acid (125mg)","savings_percent":71.57}])j";

const engine::EngineHandle& seeded() {
  static const engine::EngineHandle engine = engine::MarketEngine::create();
  return engine;
}

// The seed catalogue with fixed check times, so whole tool texts can be compared.
engine::EngineHandle fixed_time_engine() {
  auto rows = engine::MarketEngine::seed_catalogue();
  for (auto& product : rows.products) product.last_checked_utc = "2026-12-07T13:21:01.5+00:00";
  return engine::MarketEngine::from_catalogue(std::move(rows));
}

std::string success_line(std::string_view id, std::string_view result) {
  return R"({"id":)" + std::string(id) + R"(,"jsonrpc":"2.0","result":)" + std::string(result) +
         "}";
}

std::string error_line(std::string_view id) {
  return R"({"error":{"code":-32601,"message":"Method not found"},"id":)" + std::string(id) +
         R"(,"jsonrpc":"2.0"})";
}

// "Invalid Request" about a request whose id cannot be read: without one.
constexpr std::string_view INVALID_WITHOUT_ID =
    R"({"error":{"code":-32600,"message":"Invalid Request"},"jsonrpc":"2.0"})";

// "Invalid Request" with the request's id.
std::string invalid_request(std::string_view id) {
  return R"({"error":{"code":-32600,"message":"Invalid Request"},"id":)" + std::string(id) +
         R"(,"jsonrpc":"2.0"})";
}

// Returns the answer to `line` from a handler of its own, as the first line of a run gets it, or
// nothing when it gets none.
std::optional<std::string> handle_line(std::string_view line, const engine::EngineHandle& engine) {
  std::string response;
  if (!LineHandler(engine).answer(line, response)) return std::nullopt;
  return response;
}

std::optional<std::string> answer(std::string_view line) { return handle_line(line, seeded()); }

// Calls a tool through the handler and returns the tool text it carries.
std::string tool_text(std::string_view params, const engine::EngineHandle& engine = seeded()) {
  const std::string request =
      R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":)" + std::string(params) + "}";
  const auto line = handle_line(request, engine);
  if (!line) return "<no answer>";
  const auto response = json::Value::parse(*line);
  const auto& result = response.at("result");
  EXPECT_EQ(result.size(), 1u) << *line;
  const auto& content = result.at("content");
  EXPECT_EQ(content.size(), 1u) << *line;
  EXPECT_EQ(content.at(0).at("type"), "text") << *line;
  EXPECT_EQ(content.at(0).size(), 2u) << *line;
  return content.at(0).at("text").get<std::string>();
}

std::string nested_arrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

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

TEST(HandleLine, AnswersRequestsWithoutAStringMethodWithTheError) {
  EXPECT_EQ(answer("42"), METHOD_NOT_FOUND_NULL_ID);
  EXPECT_EQ(answer("[1,2]"), METHOD_NOT_FOUND_NULL_ID);
  EXPECT_EQ(answer(R"("initialize")"), METHOD_NOT_FOUND_NULL_ID);
  EXPECT_EQ(answer("null"), METHOD_NOT_FOUND_NULL_ID);
  EXPECT_EQ(answer("{}"), METHOD_NOT_FOUND_NULL_ID);
  // An array holding a request is still not a request.
  EXPECT_EQ(answer(R"([{"id":1,"method":"initialize"}])"), METHOD_NOT_FOUND_NULL_ID);
  EXPECT_EQ(answer(R"({"id":5,"method":5})"), error_line("5"));
  EXPECT_EQ(answer(R"({"id":5,"method":null})"), error_line("5"));
  EXPECT_EQ(answer(R"({"id":5,"method":["initialize"]})"), error_line("5"));
  EXPECT_EQ(answer(R"({"id":5})"), error_line("5"));
}

TEST(HandleLine, MatchesMethodNamesExactly) {
  for (const std::string& method :
       {std::string("Initialize"), std::string("INITIALIZE"), std::string("tools/list "),
        std::string(" tools/list"), std::string("tools/List"), std::string("tools/call\0", 11),
        std::string("tools.call"), std::string("tools/"), std::string()}) {
    json::Value request = {{"id", 9}, {"method", method}};
    EXPECT_EQ(handle_line(request.dump(), seeded()), error_line("9")) << method;
  }
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

TEST(HandleLine, AllowsJsonWhiteSpaceAroundTheValueAndNothingElse) {
  const std::string request = R"({"id":1,"method":"initialize"})";
  const auto expected = success_line("1", INITIALIZE_RESULT);
  EXPECT_EQ(answer(request + "   "), expected);
  EXPECT_EQ(answer(" \t\r\n" + request + "\t \r"), expected);
  EXPECT_EQ(answer(R"({ "id" : 1 , "method" : "initialize" })"), expected);

  EXPECT_EQ(answer(request + "   x"), std::nullopt);
  EXPECT_EQ(answer(request + request), std::nullopt);
  EXPECT_EQ(answer(request + " " + request), std::nullopt);
  EXPECT_EQ(answer("1 2"), std::nullopt);
  EXPECT_EQ(answer(request + ","), std::nullopt);
  // Unicode white space is not JSON white space: it only makes a whole line blank.
  EXPECT_EQ(answer(request + "\u00a0"), std::nullopt);
  EXPECT_EQ(answer("\f" + request), std::nullopt);
  EXPECT_EQ(answer(request + " // note"), std::nullopt);
}

TEST(HandleLine, SkipsBlankAndMalformedLinesSilently) {
  for (const std::string line : {"", " ", "\t\t", "\r", "\u00a0\u2028\u3000 \v\f"}) {
    EXPECT_EQ(answer(line), std::nullopt) << line;
  }
  for (const std::string line : {
           "{",
           "}",
           "x",
           "{'id':1,'method':'initialize'}",
           R"({"id":1,"method":"initialize",})",
           R"({"id":01,"method":"initialize"})",
           R"({"id":1,"method":"initialize"/**/})",
           R"({"id":NaN,"method":"initialize"})",
           // A lone surrogate escape is no character.
           R"({"id":"\ud800","method":"initialize"})",
           R"({"id":"\udc00x","method":"initialize"})",
           // Beyond the range of a double: a number that is infinite as read is no JSON value.
           R"({"id":1E400,"method":"initialize"})",
           R"({"id":-1e999,"method":"initialize"})",
           // A raw control character inside a string.
           "{\"id\":\"a\tb\",\"method\":\"initialize\"}",
       }) {
    EXPECT_EQ(answer(line), std::nullopt) << line;
  }
}

TEST(HandleLine, RejectsNulBytesAndAByteOrderMark) {
  const std::string request = R"({"id":1,"method":"initialize"})";
  EXPECT_EQ(answer(request + std::string("\0x", 2)), std::nullopt);
  EXPECT_EQ(answer(request + std::string(1, '\0')), std::nullopt);
  EXPECT_EQ(answer(std::string("{\"id\":\"a\0b\",\"method\":\"initialize\"}", 34)), std::nullopt);
  EXPECT_EQ(answer("\xEF\xBB\xBF" + request), std::nullopt);
  EXPECT_EQ(answer(" \xEF\xBB\xBF" + request), std::nullopt);
  EXPECT_EQ(answer(request), success_line("1", INITIALIZE_RESULT));
}

TEST(HandleLine, AcceptsNestingUpTo127Levels) {
  // The request object is one level, so 126 arrays inside it make 127.
  const std::string deepest_id = nested_arrays(126);
  EXPECT_EQ(answer(R"({"method":"x","id":)" + deepest_id + "}"), error_line(deepest_id));
  EXPECT_EQ(answer(R"({"method":"x","id":)" + nested_arrays(127) + "}"), std::nullopt);
  EXPECT_EQ(answer(nested_arrays(127)), METHOD_NOT_FOUND_NULL_ID);
  EXPECT_EQ(answer(nested_arrays(128)), std::nullopt);

  std::string objects;
  for (int i = 0; i < 127; ++i) objects += R"({"a":)";
  objects += "1" + std::string(127, '}');
  EXPECT_EQ(answer(objects), METHOD_NOT_FOUND_NULL_ID);
  EXPECT_EQ(answer(R"({"a":)" + objects + "}"), std::nullopt);
}

TEST(HandleLine, RejectsAMillionOpenBracketsWithoutRecursing) {
  EXPECT_EQ(answer(std::string(1'000'000, '[')), std::nullopt);
  EXPECT_EQ(answer(nested_arrays(1'000'000)), std::nullopt);
  std::string objects;
  for (int i = 0; i < 200'000; ++i) objects += R"({"a":)";
  EXPECT_EQ(answer(objects), std::nullopt);
}

TEST(ParseJsonLine, KeepsTheKindOfEveryNumber) {
  const auto value = parse_json_line(
      R"([7,-3,1.5,1.0,1e2,18446744073709551615,18446744073709551616,-9223372036854775809,-0])");
  ASSERT_TRUE(value);
  ASSERT_EQ(value->size(), 9u);
  EXPECT_TRUE((*value)[0].is_number_unsigned());
  EXPECT_TRUE((*value)[1].is_number_integer() && !(*value)[1].is_number_unsigned());
  EXPECT_TRUE((*value)[2].is_number_float());
  EXPECT_TRUE((*value)[3].is_number_float());
  EXPECT_TRUE((*value)[4].is_number_float());
  EXPECT_EQ((*value)[5].get<std::uint64_t>(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_TRUE((*value)[6].is_number_float());
  EXPECT_TRUE((*value)[7].is_number_float());
  EXPECT_EQ(json::to_compact(*value),
            "[7,-3,1.5,1.0,100.0,18446744073709551615,18446744073709551616.0,"
            "-9223372036854775808.0,0]");
}

TEST(ParseJsonLine, BuildsNestedValuesInOrder) {
  const auto value = parse_json_line(R"( {"z":[1,[2,{"y":[]}],{}],"a":{"b":{"c":"d"}},"z2":""} )");
  ASSERT_TRUE(value);
  EXPECT_EQ(json::to_compact(*value), R"({"a":{"b":{"c":"d"}},"z":[1,[2,{"y":[]}],{}],"z2":""})");
  EXPECT_EQ(parse_json_line(R"({"k":{"x":1},"k":[2]})").value(),
            json::Value::parse(R"({"k":[2]})"));
  EXPECT_EQ(parse_json_line("\"\u20B9\"").value(), json::Value("\u20B9"));
  EXPECT_EQ(parse_json_line(""), std::nullopt);
  EXPECT_EQ(parse_json_line("[1,]"), std::nullopt);
  EXPECT_EQ(parse_json_line("\xFF"), std::nullopt);
}

}  // namespace

void PrintTo(const ReferenceFields& fields, std::ostream* out) {
  *out << (fields.is_object ? "{" : "{not an object, ") << "id " << fields.id
       << (fields.has_id ? "" : " (none)")
       << (fields.id_is_string_or_integer ? "" : " (neither string nor integer)") << ", method "
       << fields.method.value_or("<none>")
       << (fields.has_result_or_error ? ", a result or an error" : "") << ", tool "
       << fields.tool_name << ", query " << fields.query
       << (fields.query_not_a_string ? " (not a string)" : "") << ", handshake "
       << fields.handshake_version << ", _meta " << fields.meta_version_value.value_or("<none>")
       << " = " << fields.meta_version.value_or("<no string>") << "}";
}

namespace {

TEST(ReadRequest, FindsTheEndOfAStringAtEveryOffset) {
  // Strings are searched eight bytes at a time: what ends or changes one (two escapes, two control
  // characters), DEL (which JSON allows raw) and a multi-byte character must be found wherever
  // they fall in a word. Each stop with the text it stands for, or nothing when it spoils the line.
  const std::pair<std::string_view, std::optional<std::string_view>> stops[] = {
      {"\\n", "\n"},
      {"\\\"", "\""},
      {"\t", std::nullopt},
      {std::string_view("\0", 1), std::nullopt},
      {"\x7F", "\x7F"}};
  // The method read from a request whose method is `method`, copied out before the line goes.
  const auto read_method = [](std::string_view method) -> std::optional<std::string> {
    const std::string line = R"({"id":1,"method":")" + std::string(method) + R"("})";
    const auto request = read_request(line);
    if (!request) return std::nullopt;
    return reference_fields(*request).method.value_or("<no method>");
  };
  for (std::size_t length = 0; length <= 24; ++length) {
    for (std::size_t at = 0; at <= length; ++at) {
      const std::string text(length, 'a');
      EXPECT_EQ(read_method(text), text);
      if (at == length) continue;
      for (const auto& [stop, stands_for] : stops) {
        std::string changed = text;
        changed.replace(at, 1, stop);
        std::optional<std::string> expected;
        if (stands_for) expected = std::string(text).replace(at, 1, *stands_for);
        EXPECT_EQ(read_method(changed), expected) << testing::PrintToString(changed);
      }
      std::string rupee = text;
      rupee.replace(at, 1, "\u20B9");
      EXPECT_EQ(read_method(rupee), rupee);
      std::string broken = text;
      broken.replace(at, 1, "\xE2\x82");  // a character cut short
      EXPECT_EQ(read_method(broken), std::nullopt) << testing::PrintToString(broken);
    }
  }
}

TEST(ReadRequest, AcceptsTheLinesTheLibraryParsesWithTheSameFields) {
  const std::string deepest = R"({"id":1,"params":)" + nested_arrays(126) + "}";
  const std::string too_deep = R"({"id":1,"params":)" + nested_arrays(127) + "}";
  const std::string huge_integer = R"({"id":)" + std::string(309, '9') + "}";
  const std::string long_integer = R"({"id":)" + std::string(308, '9') + "}";
  // Numbers converted where they stand: underflows are zero, overflows invalid, however written.
  const std::string long_numbers[] = {
      R"({"id":[)" + std::string(400, '1') + "e-300," + std::string(300, '1') + "." +
          std::string(400, '9') + ",0." + std::string(400, '0') + "1,-0." + std::string(400, '0') +
          "1e5,1.5" + std::string(2000, '3') + "e-7,0e99999999999999999999,-1e-400]}",
      R"({"id":)" + std::string(400, '1') + "e-80}",
      R"({"id":0.)" + std::string(400, '0') + "1e99999999999999999999}",
  };
  std::string deepest_object_id = R"({"id":)";
  for (int level = 0; level < 126; ++level) deepest_object_id += R"({"k":0,"j":)";
  deepest_object_id += "1" + std::string(126, '}') + "}";
  // Each line with whether it is valid; the fields of a valid one must be the parsed value's.
  const std::pair<std::string_view, bool> cases[] = {
      {R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":"noise"}}})",
       true},
      {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", true},
      {"{\"id\":-42,\"method\":\"tools/call\",\"params\":{\"arguments\":{\"query\":\"\u20B9 "
       "\u0939\u093F\"},\"name\":\"market_search_products\"}}",
       true},
      {R"({"id":null,"method":7,"params":[1,2.5,-0.125,true,false,null,"x",[],{}]})", true},
      {R"({"id":false,"method":["tools/call"],"params":{"name":7,"arguments":"noise"}})", true},
      {R"({"method":"tools/call","params":{"name":["x"],"arguments":{"query":null}},"other":-0})",
       true},
      {R"({"":"","id":"","method":"","params":{"name":"","arguments":{"query":""}}})", true},
      {long_numbers[0], true},
      {long_numbers[1], false},
      {long_numbers[2], false},
      {R"({"id":"a\"\u00e9\/\ud83d\uded2","method":"tools\/call","params":{"name":"n\t","arguments":{"query":"q\u0000"}}})",
       true},
      {R"({"i\u0064":[{"b":1,"a":2},1e2,-0,"x"],"method":"ping"})", true},
      {R"({"id":"\b\f\n\r\t\\\/\"\u0000\u001f\u007f\u20AC\uD834\uDD1E","method":"x"})", true},
      {R"({"id":1.5e-3,"method":"x"})", true},
      {R"({"id":-0.0,"method":"x"})", true},
      {R"({"id":1e-400,"method":"x"})", true},
      {R"({"id":18446744073709551616,"method":"x"})", true},
      {R"({"id":-9223372036854775809,"method":"x"})", true},
      {R"({"id":1.7976931348623157e308,"method":"x"})", true},
      {long_integer, true},
      // Structured ids: names ordered by their decoded bytes ("\u0062" is "b", "\u00e9" comes
      // after "z"), the last of a repeated name winning, numbers as the library reads them.
      {R"({"id":{"b":[1,{"d":2,"c":[]}],"\u00e9":1,"z":0,"a":{},"\u0062":3,"a":"l\/\u0000","ab":1,"a\u0000":2,"":-0}})",
       true},
      {R"({"id":[1.0,-0,-0.0,1e2,1E4,2e-7,0.1e+5,-12,123456789012345678,-123456789012345678,1234567890123456789,-9223372036854775808,18446744073709551615,18446744073709551616,99999999999999999999999]})",
       true},
      {"{ \"id\" : [ { \"b\" : [ ] , \"a\" :\t{ \"y\":1,\"x\" : \"\\\"\\u001F\\uD834\\uDD1E\" } } "
       ", true,false ,null ] ,\"method\":\"x\"}",
       true},
      {R"({"id":{"a":1,"a":{"c":1,"b":2},"a":[{"b":0,"b":1}]},"id":{"x":[],"x":{}},"method":"x"})",
       true},
      {deepest_object_id, true},
      // The two versions: the one an initialize asks for, and the one a request names in _meta.
      {R"({"id":1,"params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"},"protocolVersion":"2025-06-18"}})",
       true},
      {R"({"params":{"protocolVersion":"2025-11-2\u0035","_meta":{"io.modelcontextprotocol\/protocolVersion":{"b":[1e4],"a":"\u0041"}}}})",
       true},
      {R"({"params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"x","io.modelcontextprotocol/protocolVersion":7}}})",
       true},
      {R"({"params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"x"},"_meta":[]},"id":-0})",
       true},
      {R"({"params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"y"}},"params":{"protocolVersion":5}})",
       true},
      {R"({"params":{"_meta":[{"io.modelcontextprotocol/protocolVersion":"x"}],"protocolVersion":null}})",
       true},
      {R"({"id":{"a":1,"a"}})", false},
      {R"({"id":{"a":[1.5e999]}})", false},
      {R"({"params":{"name":"a","arguments":{"query":"q"}},"params":{"name":5}})", true},
      {R"({"params":{"uri":"ui:\/\/a\u00e9","uri":"b"},"method":"resources/read"})", true},
      {R"({"params":{"uri":"ui://a","uri":["b"]},"method":"resources/read"})", true},
      {R"({"params":{"arguments":{"query":"q"},"arguments":7,"name":"n"},"method":"tools/call","id":{}})",
       true},
      {R"({"method":"a\nb","method":["x"],"id":null,"id":"s\\"})", true},
      // Responses: a result or an error at the top only, whatever its value.
      {R"({"jsonrpc":"2.0","id":1,"result":{}})", true},
      {R"({"id":"r","error":{"code":-32601,"message":"Method not found"},"method":"ping"})", true},
      {R"({"r\u0065sult":null})", true},
      {R"({"params":{"result":1,"error":2},"x":{"error":3}})", true},
      {R"( [ {"id":1,"method":"initialize"} , true , null ] )", true},
      {"\"\u20B9\"", true},
      {R"({"x":{"id":1,"method":"initialize","params":{"name":"market_jan_aushadhi"}}})", true},
      {deepest, true},
      {too_deep, false},
      {R"({"id":1E400})", false},
      {R"({"id":1.7976931348623159e308})", false},
      {huge_integer, false},
      {R"({"id":"\ud800"})", false},
      {R"({"id":"\ud800\u0041"})", false},
      {R"({"id":"\udc00\ud800"})", false},
      {R"({"id":"\u12G4"})", false},
      {R"({"id":"\x"})", false},
      {"{\"id\":\"\xC0\xAF\"}", false},
      {"{\"id\":\"\xF4\x90\x80\x80\"}", false},
      {"{\"id\":\xC3\xA9}", false},
      {"{\"id\":\"a\x01\"}", false},
      {std::string_view("{\"id\":1}\0", 9), false},
      {"\xEF\xBB\xBF{\"id\":1}", false},
      {R"({"id":1,})", false},
      {R"({"id":[1,]})", false},
      {R"({"id" 1})", false},
      {R"({1:1})", false},
      {R"({"id":01})", false},
      {R"({"id":-})", false},
      {R"({"id":1.})", false},
      {R"({"id":.5})", false},
      {R"({"id":1e})", false},
      {R"({"id":+1})", false},
      {R"({"id":tru})", false},
      {R"({"id":nulls})", false},
      {R"({"id":1} {})", false},
      {R"({"id":1}})", false},
      {R"({"id":1 "method":"x"})", false},
      {R"({"id":"unterminated})", false},
      {"{\"id\":\"\xC3\"}", false},
      {"{\"id\":\"\xED\xA0\x80\"}", false},
      {"{\"id\":1}\f", false},
      {"", false},
      {" \t", false},
      {"{", false},
      {"]", false},
  };
  for (const auto& [line, valid] : cases) {
    const auto read = read_request(line);
    const auto parsed = parse_json_line(line);
    EXPECT_EQ(parsed.has_value(), valid) << line;
    ASSERT_EQ(read.has_value(), valid) << line;
    if (!read) continue;
    EXPECT_EQ(reference_fields(*read), reference_fields(*parsed)) << line;
  }
  const auto read = read_request(
      R"({"id":"a\"\u00e9\/\ud83d\uded2","method":"tools\/call","params":{"name":"n\t","arguments":{"query":"q\u0000"}}})");
  ASSERT_TRUE(read);
  const auto fields = reference_fields(*read);
  EXPECT_EQ(fields.id, "\"a\\\"\u00e9/\U0001F6D2\"");
  EXPECT_EQ(fields.method, "tools/call");
  EXPECT_EQ(fields.tool_name, "n\t");
  EXPECT_EQ(fields.query, std::string("q\0", 2));
  const auto versions = read_request(
      R"({"id":1.0,"params":{"protocolVersion":"2025-06-1\u0038","_meta":{"io.modelcontextprotocol/protocolVersion":[1e4,"\/"]}}})");
  ASSERT_TRUE(versions);
  const auto version_fields = reference_fields(*versions);
  EXPECT_FALSE(version_fields.id_is_string_or_integer);
  EXPECT_EQ(version_fields.handshake_version, "2025-06-18");
  EXPECT_EQ(version_fields.meta_version_value, R"([10000.0,"/"])");
  EXPECT_EQ(version_fields.meta_version, std::nullopt);
}

// Whether a client declares the view, in an initialize's capabilities or in a request's _meta:
// its media type among the UI extension's, decoded and exact, the last of a repeated member
// counting; the oracle must find the same, and so must the reader.
TEST(ReadRequest, KeepsWhetherTheClientDeclaresTheView) {
  const auto in = [](std::string_view where, std::string_view capabilities) {
    const std::string wrapped = where == "capabilities"
                                    ? R"("capabilities":)" + std::string(capabilities)
                                    : R"("_meta":{"io.modelcontextprotocol/clientCapabilities":)" +
                                          std::string(capabilities) + "}";
    return R"({"id":1,"method":"initialize","params":{)" + wrapped + "}}";
  };
  const auto types = [](std::string_view array) {
    return R"({"extensions":{"io.modelcontextprotocol/ui":{"mimeTypes":)" + std::string(array) +
           "}}}";
  };
  // Capabilities, and whether they declare the view.
  const std::pair<std::string, bool> cases[] = {
      {types(R"(["text/html;profile=mcp-app"])"), true},
      {types(R"(["text/plain",7,null,{"a":[]},"text\/html;profile=mcp-app"])"), true},
      {types(R"(["text/html;profile=mcp-app","text/html;profile=mcp-app"])"), true},
      {types(R"(["text/html; profile=mcp-app","TEXT/HTML;PROFILE=MCP-APP","text/html"])"), false},
      {types(R"([["text/html;profile=mcp-app"]])"), false},
      {types(R"("text/html;profile=mcp-app")"), false},
      {types("[]"), false},
      {R"({"extensions":{"io.modelcontextprotocol/ui":{}}})", false},
      {R"({"extensions":{"io.modelcontextprotocol/apps":{"mimeTypes":["text/html;profile=mcp-app"]}}})",
       false},
      {R"({"experimental":{"io.modelcontextprotocol/ui":{"mimeTypes":["text/html;profile=mcp-app"]}}})",
       false},
      {R"({"extensions":{"io.modelcontextprotocol\/ui":{"mimeTypes":["text/html;profile=mcp-app"]}}})",
       true},
      // The last of a repeated member counts, at every level.
      {R"({"extensions":{"io.modelcontextprotocol/ui":{"mimeTypes":["text/html;profile=mcp-app"],"mimeTypes":["text/html"]}}})",
       false},
      {R"({"extensions":{"io.modelcontextprotocol/ui":{"mimeTypes":[]},"io.modelcontextprotocol/ui":{"mimeTypes":["text/html;profile=mcp-app"]}}})",
       true},
      {R"({"extensions":{"io.modelcontextprotocol/ui":{"mimeTypes":["text/html;profile=mcp-app"]}},"extensions":{}})",
       false},
      {R"([{"extensions":{"io.modelcontextprotocol/ui":{"mimeTypes":["text/html;profile=mcp-app"]}}}])",
       false},
  };
  for (const std::string_view where : {"capabilities", "_meta"}) {
    for (const auto& [capabilities, declares] : cases) {
      const std::string line = in(where, capabilities);
      const auto read = read_request(line);
      ASSERT_TRUE(read) << line;
      EXPECT_EQ(reference_fields(*read), reference_fields(*parse_json_line(line))) << line;
      EXPECT_EQ(read->declared.contains(0), declares && where == "capabilities") << line;
      EXPECT_EQ(read->meta_declared.contains(0), declares && where == "_meta") << line;
    }
  }
  // A later capabilities, _meta or params starts over.
  const std::string declared = types(R"(["text/html;profile=mcp-app"])");
  for (const std::string& line :
       {R"({"params":{"capabilities":)" + declared + R"(,"capabilities":{}}})",
        R"({"params":{"_meta":{"io.modelcontextprotocol/clientCapabilities":)" + declared +
            R"(},"_meta":{}}})",
        R"({"params":{"capabilities":)" + declared + R"(},"params":{"uri":"ui://x"}})"}) {
    const auto read = read_request(line);
    ASSERT_TRUE(read) << line;
    EXPECT_EQ(reference_fields(*read), reference_fields(*parse_json_line(line))) << line;
    EXPECT_TRUE(read->declared.empty() && read->meta_declared.empty()) << line;
  }
}

TEST(JsonString, DecodesInPartsWithoutCuttingACharacterOrAnEscape) {
  for (const auto& [raw, escaped] :
       {std::pair<std::string_view, bool>{R"(a\u00e9\ud83d\uded2\n)"
                                          "\u20B9x\\\\\\\"\u00e9\U0001F6D2\\/\\u0000",
                                          true},
        {"\u0130\u20B9\U0001F6D2ab\u00e9", false}}) {
    const JsonString string(raw, escaped);
    std::string storage;
    const std::string whole(string.text(storage));
    for (std::size_t size = 1; size <= raw.size(); ++size) {
      std::string joined;
      for (std::size_t offset = 0; offset != raw.size();) {
        const auto part = string.part(offset, size).text(storage);
        EXPECT_TRUE(!part.empty() && text::is_valid_utf8(part)) << raw << " in parts of " << size;
        joined += part;
      }
      EXPECT_EQ(joined, whole) << raw << " in parts of " << size;
    }
  }
}

TEST(ToolsCall, FallsBackToTheEmptyNameWithoutUsableParams) {
  const std::string no_name = R"({"error":"Tool '' not found"})";
  EXPECT_EQ(
      answer(R"({"id":1,"method":"tools/call"})"),
      success_line("1",
                   R"({"content":[{"text":"{\"error\":\"Tool '' not found\"}","type":"text"}]})"));
  for (const char* params :
       {"{}", "null", "[]", R"("market_jan_aushadhi")", "7", R"(["market_jan_aushadhi"])",
        R"({"name":7})", R"({"name":null})", R"({"name":["market_jan_aushadhi"]})",
        R"({"arguments":{"name":"market_jan_aushadhi"}})"}) {
    EXPECT_EQ(tool_text(params), no_name) << params;
  }
}

TEST(ToolsCall, MatchesToolNamesExactlyAndEscapesTheUnknownOne) {
  EXPECT_EQ(tool_text(R"({"name":"MARKET_JAN_AUSHADHI"})"),
            R"({"error":"Tool 'MARKET_JAN_AUSHADHI' not found"})");
  EXPECT_EQ(tool_text(R"({"name":"market_jan_aushadhi "})"),
            R"({"error":"Tool 'market_jan_aushadhi ' not found"})");
  EXPECT_EQ(tool_text(R"({"name":"a\"b\\c\n\u20b9"})"),
            "{\"error\":\"Tool 'a\\\"b\\\\c\\n\u20B9' not found\"}");
  // On the wire the tool text is escaped once more.
  EXPECT_EQ(
      answer(R"({"id":4,"method":"tools/call","params":{"name":"q\"t"}})"),
      R"({"id":4,"jsonrpc":"2.0","result":{"content":[{"text":"{\"error\":\"Tool 'q\\\"t' not found\"}","type":"text"}]}})");
}

TEST(ToolsCall, SearchWritesProductsWithSortedMembers) {
  const auto engine = fixed_time_engine();
  const std::string noise =
      R"({"competitor_price_inr":1149.0,"current_price_inr":1299.0,"last_checked_utc":"2026-12-07T13:21:01.5+00:00","original_price_inr":1999.0,"platform":"Amazon.in","price_delta_percent":-11.54,"sku_asin":"B09G9FPHY6","stock_status":"IN_STOCK","title":"Noise ColorFit Pulse Grand Smart Watch"})";
  const std::string boat =
      R"({"competitor_price_inr":1349.0,"current_price_inr":1399.0,"last_checked_utc":"2026-12-07T13:21:01.5+00:00","original_price_inr":1499.0,"platform":"Flipkart","price_delta_percent":-3.57,"sku_asin":"SKU-BOAT-AIRDOPES-141","stock_status":"LOW_STOCK","title":"boAt Airdopes 141 ANC TWS Earbuds"})";
  EXPECT_EQ(tool_text(R"({"name":"market_search_products","arguments":{"query":"noise"}})", engine),
            "[" + noise + "]");
  EXPECT_EQ(
      tool_text(
          R"({"name":"market_search_products","arguments":{"query":"FLIPKART","asin":"B09G9FPHY6"}})",
          engine),
      "[" + boat + "]");
  EXPECT_EQ(
      tool_text(R"({"name":"market_search_products","arguments":{"query":"iphone"}})", engine),
      "[]");
  EXPECT_EQ(
      tool_text(R"({"name":"market_search_products","arguments":{"query":"N\u006fISE"}})", engine),
      "[" + noise + "]");
  // A query longer than every product lowered a piece at a time, and found in none.
  std::string long_query = "\\n";
  for (int i = 0; i < 100'000; ++i) long_query += "\u0130";
  EXPECT_EQ(tool_text(R"({"name":"market_search_products","arguments":{"query":")" + long_query +
                          R"("}})",
                      engine),
            "[]");
}

TEST(ToolsCall, SearchTreatsAMissingOrNonStringQueryAsEmpty) {
  const auto engine = fixed_time_engine();
  const std::string everything =
      tool_text(R"({"name":"market_search_products","arguments":{"query":""}})", engine);
  ASSERT_EQ(json::Value::parse(everything).size(), 2u);
  for (const char* params : {R"({"name":"market_search_products"})",
                             R"({"name":"market_search_products","arguments":{}})",
                             R"({"name":"market_search_products","arguments":{"query":42}})",
                             R"({"name":"market_search_products","arguments":{"query":null}})",
                             R"({"name":"market_search_products","arguments":{"query":["noise"]}})",
                             R"({"name":"market_search_products","arguments":"noise"})",
                             R"({"name":"market_search_products","arguments":null})",
                             R"({"name":"market_search_products","query":"noise"})"}) {
    EXPECT_EQ(tool_text(params, engine), everything) << params;
  }
}

TEST(ToolsCall, SearchOfTheSeededStoreKeepsFloatKinds) {
  const std::string text = tool_text(R"({"name":"market_search_products"})");
  ASSERT_TRUE(text.starts_with(R"([{"competitor_price_inr":1149.0,"current_price_inr":1299.0,)"))
      << text;
  EXPECT_NE(text.find(R"("original_price_inr":1999.0,)"), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with(R"(,"title":"boAt Airdopes 141 ANC TWS Earbuds"}])")) << text;
  const auto products = json::Value::parse(text);
  ASSERT_EQ(products.size(), 2u);
  EXPECT_TRUE(products[0]["original_price_inr"].is_number_float());
  EXPECT_TRUE(products[1]["last_checked_utc"].get<std::string>().ends_with("+00:00"));
}

TEST(ToolsCall, ListToolsIgnoreTheirArguments) {
  for (const char* arguments : {"", R"(,"arguments":{})", R"(,"arguments":{"asin":"NOPE"})",
                                R"(,"arguments":{"asin":42,"query":"x"})", R"(,"arguments":7)"}) {
    EXPECT_EQ(tool_text(R"({"name":"market_review_defects")" + std::string(arguments) + "}"),
              SEEDED_REVIEWS_TEXT)
        << arguments;
    EXPECT_EQ(tool_text(R"({"name":"market_jan_aushadhi")" + std::string(arguments) + "}"),
              SEEDED_MEDICINES_TEXT)
        << arguments;
  }
}

TEST(ToolsCall, WritesNonFiniteFloatsAsNullAndEmptyListsAsEmptyArrays) {
  engine::Catalogue rows;
  rows.reviews.push_back(engine::ReviewIntel{"X", 0, std::nan(""), {}, 1.0});
  rows.medicines.push_back(engine::MedicineArbitrage{"M", std::numeric_limits<double>::infinity(),
                                                     "S", "G", 4200, -0.5});
  const auto engine = engine::MarketEngine::from_catalogue(std::move(rows));
  EXPECT_EQ(
      tool_text(R"({"name":"market_review_defects"})", engine),
      R"([{"fake_review_ratio_percent":null,"manufacturer_defect_score":1.0,"product_asin":"X","top_defects":[],"total_reviews_analyzed":0}])");
  EXPECT_EQ(
      tool_text(R"({"name":"market_jan_aushadhi"})", engine),
      R"([{"branded_medicine_name":"M","branded_price_inr":null,"jan_aushadhi_generic_name":"G","jan_aushadhi_price_inr":4200.0,"salt_composition":"S","savings_percent":-0.5}])");
  EXPECT_EQ(tool_text(R"({"name":"market_search_products"})", engine), "[]");
}

// Opens a pipe whose ends move bytes untranslated; returns false when it cannot.
bool open_pipe(int (&ends)[2]) {
#ifdef _WIN32
  return _pipe(ends, 1 << 16, _O_BINARY) == 0;
#else
  return ::pipe(ends) == 0;
#endif
}

// A file with `bytes` in it, read from its start.
class InputFile {
 public:
  explicit InputFile(std::string_view bytes) : file_(std::tmpfile()) {
    EXPECT_NE(file_, nullptr);
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file_), bytes.size());
    std::fflush(file_);
    ::lseek(fd(), 0, SEEK_SET);
  }
  ~InputFile() { std::fclose(file_); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  int fd() const { return fileno(file_); }

  // Returns everything written to the file.
  std::string contents() const {
    std::string out;
    char chunk[65536];
    ::lseek(fd(), 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd(), chunk, sizeof chunk)) > 0;) {
      out.append(chunk, static_cast<std::size_t>(n));
    }
    return out;
  }

 private:
  std::FILE* file_;
};

struct Served {
  Status status;
  std::string output;
};

Served serve(std::string_view input, const engine::EngineHandle& engine = seeded()) {
  InputFile in(input);
  InputFile out("");
  Status status = serve_lines(in.fd(), out.fd(), engine);
  return {std::move(status), out.contents()};
}

std::vector<std::string> read_all_lines(int fd) {
  LineReader reader(fd);
  std::vector<std::string> lines;
  for (int guard = 0; guard < 100'000; ++guard) {
    auto next = reader.next_line();
    EXPECT_TRUE(next.ok());
    if (!next.ok() || !next.value()) break;
    lines.emplace_back(*next.value());
  }
  return lines;
}

const std::string INITIALIZE = R"({"id":1,"method":"initialize"})";
const std::string TOOLS_LIST = R"({"id":2,"method":"tools/list"})";

TEST(LineReader, SplitsAtLineFeedsAndDropsOneCarriageReturn) {
  InputFile in("a\r\nb\n\n\r\nc\r\r\nlast\r");
  EXPECT_EQ(read_all_lines(in.fd()), (std::vector<std::string>{"a", "b", "", "", "c\r", "last\r"}));
  InputFile empty("");
  EXPECT_TRUE(read_all_lines(empty.fd()).empty());
  InputFile one_line("only");
  EXPECT_EQ(read_all_lines(one_line.fd()), std::vector<std::string>{"only"});
}

TEST(LineReader, KeepsLinesLongerThanItsBufferWhole) {
  const std::string long_line(3 * READ_BUFFER_SIZE + 17, 'x');
  std::string input;
  for (int i = 0; i < 3; ++i) input += "short" + std::to_string(i) + "\n" + long_line + "\r\n";
  InputFile in(input);
  const auto lines = read_all_lines(in.fd());
  ASSERT_EQ(lines.size(), 6u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(lines[2 * i], "short" + std::to_string(i));
    EXPECT_EQ(lines[2 * i + 1], long_line);
  }
}

TEST(LineReader, ReassemblesLinesArrivingInPieces) {
  int ends[2];
  ASSERT_TRUE(open_pipe(ends));
  const std::string input = "first line\r\nsecond\n\xE2\x82\xB9 third";
  std::thread writer([&] {
    for (char byte : input) {
      if (::write(ends[1], &byte, 1) != 1) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::close(ends[1]);
  });
  const auto lines = read_all_lines(ends[0]);
  writer.join();
  ::close(ends[0]);
  EXPECT_EQ(lines, (std::vector<std::string>{"first line", "second", "\xE2\x82\xB9 third"}));
}

// Returns a JSON array of `count` copies of `item`.
std::string array_of(std::string_view item, std::size_t count) {
  std::string array = "[";
  for (std::size_t i = 0; i < count; ++i) (array += item) += ',';
  array.back() = ']';
  return array;
}

TEST(ServeLines, AnswersEachLineInOrderAndSkipsTheRest) {
  const auto served = serve(INITIALIZE + "\r\n\n   \n" + "garbage\n" + R"({"method":"ping"})" +
                            "\n" + TOOLS_LIST + "\n\u3000\n" + "[]");
  ASSERT_TRUE(served.status.ok()) << served.status.error().message;
  EXPECT_EQ(served.output, success_line("1", INITIALIZE_RESULT) + "\n" +
                               success_line("2", TOOLS_LIST_RESULT) + "\n" +
                               std::string(METHOD_NOT_FOUND_NULL_ID) + "\n");
}

TEST(ServeLines, EndsQuietlyOnEmptyInput) {
  for (const std::string input : {"", "\n", "\r\n\r\n", "   "}) {
    const auto served = serve(input);
    EXPECT_TRUE(served.status.ok());
    EXPECT_EQ(served.output, "");
  }
}

TEST(ServeLines, StopsAtTheFirstLineThatIsNotUtf8) {
  for (const std::string bad :
       {"\xFF", "{\"id\":\"\xC3\"}", "\xED\xA0\x80", "\xC0\xAF", "\xE2\x82"}) {
    const auto served = serve(INITIALIZE + "\n" + bad + "\n" + TOOLS_LIST + "\n");
    ASSERT_FALSE(served.status.ok());
    EXPECT_EQ(served.status.error().message, "stream did not contain valid UTF-8");
    EXPECT_EQ(served.output, success_line("1", INITIALIZE_RESULT) + "\n");
  }
  // A final line cut inside a character.
  const auto cut = serve(INITIALIZE + "\n\"\xE2\x82");
  ASSERT_FALSE(cut.status.ok());
  EXPECT_EQ(cut.output, success_line("1", INITIALIZE_RESULT) + "\n");
}

TEST(ServeLines, AnswersHugeLinesAndSkipsHugeBadOnes) {
  const std::string big_id(5 * READ_BUFFER_SIZE, 'q');
  const std::string big = R"({"method":"tools/list","id":")" + big_id + "\"}";
  const auto served = serve(big + "\n" + std::string(1'000'000, '[') + "\n" + INITIALIZE);
  ASSERT_TRUE(served.status.ok());
  EXPECT_EQ(served.output, success_line("\"" + big_id + "\"", TOOLS_LIST_RESULT) + "\n" +
                               success_line("1", INITIALIZE_RESULT) + "\n");

  // An id whose written form is twice its text is written in parts, in order, and the answer's
  // end follows them.
  const std::string floats = array_of("1e4", PART_SIZE / 2);
  const std::string written = array_of("10000.0", PART_SIZE / 2);
  const auto spilled = serve(R"({"method":"tools/list","id":)" + floats + "}\n" +
                             R"({"method":"nope","id":)" + floats + "}\n");
  ASSERT_TRUE(spilled.status.ok());
  EXPECT_EQ(spilled.output,
            success_line(written, TOOLS_LIST_RESULT) + "\n" + error_line(written) + "\n");
  EXPECT_EQ(answer(R"({"method":"tools/list","id":)" + floats + "}"),
            success_line(written, TOOLS_LIST_RESULT));
  // So is a version that is no string, refused inside a string.
  const auto refused = serve(R"({"method":"tools/list","id":1,"params":{"_meta":{)"
                             R"("io.modelcontextprotocol/protocolVersion":)" +
                             floats + "}}}\n");
  ASSERT_TRUE(refused.status.ok());
  EXPECT_EQ(refused.output, R"({"error":{"code":-32022,"data":{"requested":")" + written +
                                R"(","supported":["2026-07-28"]},"message":"Unsupported protocol )"
                                R"(version"},"id":1,"jsonrpc":"2.0"})"
                                "\n");
}

TEST(ServeLines, ReportsReadAndWriteFailures) {
#ifndef _WIN32  // Windows opens no descriptor on a directory
  const int directory = ::open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(directory, 0);
  InputFile out("");
  const Status unreadable = serve_lines(directory, out.fd(), seeded());
  ::close(directory);
  ASSERT_FALSE(unreadable.ok());
  EXPECT_EQ(unreadable.error().message, "failed to read standard input: Is a directory");

  std::signal(SIGPIPE, SIG_IGN);
#endif
  // The reader of the pipe has gone before the first response.
  int ends[2];
  ASSERT_TRUE(open_pipe(ends));
  ::close(ends[0]);
  // The second fails while its id is being written.
  for (const std::string& first :
       {INITIALIZE, R"({"method":"ping","id":)" + array_of("1e4", PART_SIZE) + "}"}) {
    InputFile in(first + "\n" + TOOLS_LIST + "\n");
    const Status unwritable = serve_lines(in.fd(), ends[1], seeded());
    ASSERT_FALSE(unwritable.ok());
    EXPECT_EQ(unwritable.error().message, "failed to write standard output: Broken pipe");
  }
  ::close(ends[1]);

  EXPECT_EQ(write_all(-1, "x").error().message,
            "failed to write standard output: Bad file descriptor");
  EXPECT_TRUE(write_all(-1, "").ok());
}

// Returns the whole contents of the file at `path`, or nothing when it cannot be read.
std::optional<std::string> read_file(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::string contents;
  char chunk[65536];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
    contents.append(chunk, n);
  std::fclose(file);
  return contents;
}

// The row of the table a test of one revision is for.
class EachRevision : public testing::TestWithParam<std::size_t> {
 protected:
  const Revision& revision() const { return REVISIONS.at(GetParam()); }

  // The revision's golden transcript, its input and its output.
  std::pair<std::string, std::string> transcript() const {
    const std::string golden = QMR_GOLDEN_DIR "/" + std::string(revision().name);
    auto input = read_file(golden + ".in");
    auto output = read_file(golden + ".out");
    if (!input || !output) ADD_FAILURE() << "no transcript " << golden << ".in/.out";
    return {input.value_or(""), output.value_or("")};
  }

  // The seed store with every product's check time "T", as the transcripts were written.
  static engine::EngineHandle golden_engine() {
    auto rows = engine::MarketEngine::seed_catalogue();
    for (auto& product : rows.products) product.last_checked_utc.assign(1, 'T');
    return engine::MarketEngine::from_catalogue(std::move(rows));
  }
};

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

TEST(Sessions, RefuseVersionsNotServedPerRequest) {
  const auto line = [](std::string_view members, std::string_view version) {
    return "{" + std::string(members) +
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
    return "{" + std::string(members) +
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
