// The strings of a checked line, decoded a part at a time.
#include <string>

#include "base/text.hpp"
#include "mcp/json_text.hpp"
#include "mcp_test.hpp"

namespace qmr::mcp {
namespace {

using namespace tests;

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

}  // namespace
}  // namespace qmr::mcp
