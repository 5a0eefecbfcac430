// The one reader of a request line held to the JSON library's parser: what a valid line is, its
// limits, and every field it keeps.
#include <ostream>
#include <string>

#include "base/text.hpp"
#include "mcp/request_reader.hpp"
#include "mcp_test.hpp"
#include "support/json_line.hpp"
#include "support/reference_forms.hpp"

namespace qmr::mcp {

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

using namespace tests;

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

}  // namespace
}  // namespace qmr::mcp
