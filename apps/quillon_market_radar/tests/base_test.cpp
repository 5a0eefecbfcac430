// What every layer uses: the JSON writer against the JSON library's own text, the Unicode text
// helpers, the console's colour decision and the runtime's loops. The loops out of memory are in
// base_posix_test.cpp.
#include <gtest/gtest.h>

#include <asio/post.hpp>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <future>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "base/console.hpp"
#include "base/json_writer.hpp"
#include "base/loop_pool.hpp"
#include "base/text.hpp"

namespace qmr {
namespace {

std::string float_text(double number) {
  std::string out;
  json::write_float(number, out);
  return out;
}

// Whole hundredths take a path of their own: it writes what the general one writes, at the edges
// where the exponent form is the shorter (1e+05) and where fifteen digits end.
TEST(JsonWriter, HundredthsAreWrittenAsTheGeneralAlgorithmWritesThem) {
  const auto general = [](double number) {
    char digits[32];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, number);
    std::string text(digits, end);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
  };
  std::mt19937_64 random(11);
  std::vector<std::int64_t> samples = {1,
                                       5,
                                       10,
                                       99,
                                       100,
                                       101,
                                       9'999'900,
                                       10'000'000,
                                       99'999'999,
                                       999'999'999'999'999,
                                       1'000'000'000'000'000,
                                       129'900};
  for (int i = 0; i < 200'000; ++i) {
    samples.push_back(static_cast<std::int64_t>(random() % 10'000'000'000'000'000ULL) >>
                      (random() % 60));
  }
  for (const std::int64_t hundredths : samples) {
    for (const double number :
         {static_cast<double>(hundredths) / 100, -static_cast<double>(hundredths) / 100,
          static_cast<double>(hundredths) / 100 + 1e-9}) {
      ASSERT_EQ(float_text(number), general(number)) << hundredths;
    }
  }
}

TEST(JsonWriter, FloatsAreShortestRoundTripWithPointForIntegers) {
  EXPECT_EQ(float_text(1999.0), "1999.0");
  EXPECT_EQ(float_text(204.0), "204.0");
  EXPECT_EQ(float_text(-11.54), "-11.54");
  EXPECT_EQ(float_text(-3.57), "-3.57");
  EXPECT_EQ(float_text(11.2), "11.2");
  EXPECT_EQ(float_text(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(float_text(635896.6826), "635896.6826");  // Grisu2 writes 635896.6825999999
  EXPECT_EQ(float_text(-0.0), "-0.0");
  EXPECT_EQ(float_text(std::nan("")), "null");
  EXPECT_EQ(float_text(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(float_text(-std::numeric_limits<double>::infinity()), "null");
}

TEST(JsonWriter, EveryFloatReadsBackExactly) {
  std::mt19937_64 random(20261208);
  for (int i = 0; i < 20000; ++i) {
    double number;
    const std::uint64_t bits = random();
    std::memcpy(&number, &bits, sizeof number);
    if (!std::isfinite(number)) continue;
    const std::string text = float_text(number);
    const auto back = json::Value::parse(text);
    ASSERT_TRUE(back.is_number_float()) << text;
    ASSERT_EQ(back.get<double>(), number) << text;
  }
}

TEST(JsonWriter, StringsEscapeOnlyQuotesBackslashAndControls) {
  std::string out;
  json::write_string("a\"b\\c/d\n\r\t\b\f\x01\x1f\x7f \u20B9 \U0001F6D2", out);
  EXPECT_EQ(out, "\"a\\\"b\\\\c/d\\n\\r\\t\\b\\f\\u0001\\u001f\x7f \u20B9 \U0001F6D2\"");
  // The same bytes as the JSON library's own writer.
  const std::string sample = std::string("x\0y\x1e\"\\\u00e9", 9);
  out.clear();
  json::write_string(sample, out);
  EXPECT_EQ(out, json::Value(sample).dump());
  // Every ASCII byte at every place of the eight-byte blocks the writer looks at together.
  for (int byte = 0; byte < 0x80; ++byte) {
    for (std::size_t at = 0; at < 19; ++at) {
      std::string text(19, 'a');
      text[at] = static_cast<char>(byte);
      out.clear();
      json::write_string(text, out);
      ASSERT_EQ(out, json::Value(text).dump()) << byte << " at " << at;
    }
  }
}

TEST(JsonWriter, ObjectsSortedNumbersKeepTheirKind) {
  const auto value = json::Value::parse(
      R"json({"b":[1,-3,1.5,1.0,18446744073709551615,-9223372036854775808,1e400000000000000000000000000],"a":{"z":null,"y":true}})json",
      nullptr, false);
  // 1e400... is out of range for the parser, so it is rejected as a whole.
  EXPECT_TRUE(value.is_discarded());
  const auto ok = json::Value::parse(
      R"json({"b":[1,-3,1.5,1.0,18446744073709551615,-9223372036854775808,1e300,"\u00e9"],"a":{"z":null,"y":false},"":{}})json");
  EXPECT_EQ(
      json::to_compact(ok),
      R"json({"":{},"a":{"y":false,"z":null},"b":[1,-3,1.5,1.0,18446744073709551615,-9223372036854775808,1e+300,"é"]})json");
  EXPECT_EQ(json::Value::parse(json::to_compact(ok)), ok);
}

TEST(Text, LowerCasesWithTheFullMappingWhateverTheLocale) {
  EXPECT_EQ(text::to_lower("COLORFIT Pulse"), "colorfit pulse");
  EXPECT_EQ(text::to_lower("\u0130"), "i\u0307");  // İ: i + combining dot
  EXPECT_EQ(text::to_lower("\u039F\u0394\u039F\u03A3"), "\u03BF\u03B4\u03BF\u03C2");  // final ς
  EXPECT_EQ(text::to_lower("\u03A3A"), "\u03C3a");  // Σ not at the end stays σ
  EXPECT_EQ(text::to_lower("I"), "i");              // never the Turkish dotless ı
  EXPECT_EQ(text::to_lower("\u00C9T\u00C9 \u20B9"), "\u00E9t\u00E9 \u20B9");
}

// A lowered needle is found as the lowered text's find finds it: at every place of texts longer
// and shorter than a word of eight bytes, in either case, for a letter and another first byte.
TEST(Text, LoweredContainsFindsWhatTheLoweredTextHolds) {
  const std::string_view needles[] = {"bottle", "b", "-001", "k lamp", "\u00e9t\u00e9"};
  for (const std::string_view needle : needles) {
    for (std::size_t length = 0; length < 24; ++length) {
      for (std::size_t at = 0; at <= length; ++at) {
        // Around it, near misses: CR is '-' but for the bit of a letter's case, and "001" follows.
        std::string text;
        while (text.size() < length) text += "\r001\"ottleB";
        text.resize(length);
        std::string upper(needle);
        for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
        text.insert(at, at % 2 ? upper : std::string(needle));
        // Also cut short, and beside a character beyond ASCII that lowers to ASCII.
        for (const std::string& whole :
             {text, text.substr(0, text.size() - 1), "\u212A" + text, text + "\u212A"}) {
          EXPECT_EQ(text::lowered_contains(whole, needle),
                    text::to_lower(whole).find(needle) != std::string::npos)
              << needle << " in " << whole;
        }
      }
    }
  }
  EXPECT_TRUE(text::lowered_contains("\u212A LAMP", "k lamp"));  // the Kelvin sign lowers to k
}

TEST(Text, Utf8ValidationAndLossyDecoding) {
  EXPECT_TRUE(text::is_valid_utf8("plain \u20B9 \U0001F6D2"));
  EXPECT_FALSE(text::is_valid_utf8("\xC0\xAF"));          // overlong
  EXPECT_FALSE(text::is_valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(text::is_valid_utf8("abc\xE2\x82"));       // cut off
  EXPECT_FALSE(text::is_valid_utf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  // One replacement per maximal invalid subpart.
  EXPECT_EQ(text::decode_utf8_lossy("a\xE2\x82z"), "a\uFFFDz");
  EXPECT_EQ(text::decode_utf8_lossy("\xC0\xAF"), "\uFFFD\uFFFD");
  EXPECT_EQ(text::decode_utf8_lossy("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(text::decode_utf8_lossy("\xF1\x80\x80"), "\uFFFD");
  EXPECT_EQ(text::decode_utf8_lossy("GET /\xFF HTTP/1.1"), "GET /\uFFFD HTTP/1.1");
  EXPECT_EQ(text::decode_utf8_lossy("ok\xE2\x82"), "ok\uFFFD");
}

TEST(Text, SplitsOnUnicodeWhiteSpace) {
  using Tokens = std::vector<std::string_view>;
  EXPECT_EQ(text::split_white_space("  GET \t /api  HTTP/1.1 ", 8),
            (Tokens{"GET", "/api", "HTTP/1.1"}));
  EXPECT_EQ(text::split_white_space("GET\u00A0/\u3000x", 8), (Tokens{"GET", "/", "x"}));
  EXPECT_EQ(text::split_white_space("GET\u200B/", 8), (Tokens{"GET\u200B/"}));  // not White_Space
  EXPECT_EQ(text::split_white_space("a b c d", 2), (Tokens{"a", "b"}));
  EXPECT_TRUE(text::split_white_space(" \r\n\v\f\u0085\u2028", 8).empty());
  EXPECT_TRUE(text::split_white_space("", 1).empty());
  EXPECT_TRUE(text::split_white_space(" \t\u00A0\u2003", 1).empty());
  EXPECT_EQ(text::split_white_space(" x ", 1), (Tokens{"x"}));
  EXPECT_EQ(text::split_white_space("\x1c", 1), (Tokens{"\x1c"}));
}

TEST(Console, ColourDecision) {
  using console::decide_colour;
  EXPECT_TRUE(decide_colour("1", "1", "0", false));
  EXPECT_TRUE(decide_colour("yes", nullptr, nullptr, false));
  EXPECT_FALSE(decide_colour("0", nullptr, nullptr, false));
  EXPECT_TRUE(decide_colour("0", nullptr, nullptr, true));
  EXPECT_FALSE(decide_colour(nullptr, "", nullptr, true));
  EXPECT_FALSE(decide_colour(nullptr, nullptr, "0", true));
  EXPECT_TRUE(decide_colour(nullptr, nullptr, "1", true));
  EXPECT_TRUE(decide_colour(nullptr, nullptr, nullptr, true));
  EXPECT_FALSE(decide_colour(nullptr, nullptr, nullptr, false));
}

TEST(LoopPool, RunsLoopZeroOnTheCallerAndEachOtherLoopOnAThreadOfItsOwnUntilStopped) {
  LoopPool pool(3);
  std::vector<std::thread::id> ran_on(pool.size());
  std::promise<void> others_ran;
  // Loop 0 waits for the others' tasks before it stops the pool: an idle loop keeps running.
  asio::post(pool.loop(2), [&] {
    ran_on[2] = std::this_thread::get_id();
    asio::post(pool.loop(1), [&] {
      ran_on[1] = std::this_thread::get_id();
      others_ran.set_value();
    });
  });
  asio::post(pool.loop(0), [&] {
    others_ran.get_future().wait();
    ran_on[0] = std::this_thread::get_id();
    pool.stop();
  });
  ASSERT_TRUE(pool.run().ok());
  EXPECT_EQ(ran_on[0], std::this_thread::get_id());
  EXPECT_NE(ran_on[1], ran_on[0]);
  EXPECT_NE(ran_on[2], ran_on[0]);
  EXPECT_NE(ran_on[2], ran_on[1]);
  EXPECT_NE(ran_on[1], std::thread::id());
}

}  // namespace
}  // namespace qmr
