// The seller's store: the CSV grammar, the value rules and the kinds of file, and the store's
// refusals of files it cannot use.
#include "store/store.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "store/csv.hpp"
#include "store/readers.hpp"
#include "store/sha256.hpp"
#include "store_test_support.hpp"

namespace qmr::store {
namespace {

using test::TempFolder;
using namespace std::string_literals;

TEST(Sha256, KnownDigests) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}};
  for (const auto& [message, digest] : cases) {
    Sha256 whole;
    whole.update(message);
    EXPECT_EQ(whole.hex_digest(), digest);
    Sha256 pieces;  // fed in uneven pieces, across block boundaries
    for (std::size_t at = 0; at < message.size(); at += 37)
      pieces.update(std::string_view(message).substr(at, 37));
    EXPECT_EQ(pieces.hex_digest(), digest);
  }
}

TEST(PriceRules, AcceptedAndRefused) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"1299", "129900"},
      {"1,299.00", "129900"},
      {"\u20B91,299.5", "129950"},
      {"Rs. 1,29,999", "12999900"},
      {"INR 12,34,56,789.05",
       "123456789"
       "05"},
      {"rs1299", "129900"},
      {" 0 ", "0"},
      {"1,299,999", "129999900"},
      {"", "none"},
      {"-5", "a negative price"},
      {"(5)", "a negative price"},
      {"NaN", "not a price"},
      {"five", "not a price"},
      {"12.345", "more than two decimals"},
      {"1,2,3", "a misplaced thousands separator"},
      {"12,99", "a misplaced thousands separator"},
      {"1.2.3", "not a price"},
      {"\u20B9", "a currency without a number"},
      {"99999999999", "too large for a price"}};
  for (const auto& [text, expected] : cases) {
    auto paise = parse_price_paise(text);
    const std::string got = !paise.ok()      ? paise.error().message
                            : !paise.value() ? "none"
                                             : std::to_string(*paise.value());
    EXPECT_EQ(got, expected) << text;
  }
}

TEST(ObservedAt, DatesAreMidnightInIndiaAndTimesKeepTheirOffset) {
  constexpr std::int64_t DAY = 1'765'324'800;  // 2025-12-10T00:00:00Z
  const std::pair<std::string_view, std::string> cases[] = {
      {"2025-12-10", std::to_string((DAY - 19'800) * 1'000'000)},
      {"2025-12-10T00:00:00Z", std::to_string(DAY * 1'000'000)},
      {"2025-12-10t05:30:00.25+05:30", std::to_string(DAY * 1'000'000 + 250'000)},
      {"2025-12-09 19:00:00-05:00", std::to_string(DAY * 1'000'000)},
      {"2024-02-29", std::to_string((1'709'164'800 - 19'800) * 1'000'000LL)},
      {"2025-02-29", "not a date of the calendar"},
      {"2025-12-10T24:00:00Z", "not a time of the day"},
      {"10/12/2025", "not a time: RFC 3339 (2026-12-10T09:30:00+05:30) or a date (2026-12-10)"},
      {"2025-12-10T10:00:00",
       "not a time: RFC 3339 (2026-12-10T09:30:00+05:30) or a date (2026-12-10)"}};
  for (const auto& [text, expected] : cases) {
    auto micros = parse_observed_at(text);
    EXPECT_EQ(micros.ok() ? std::to_string(micros.value()) : micros.error().message, expected)
        << text;
  }
}

// Returns each record of `input` as "LINE:field|field" or "LINE!problem".
std::vector<std::string> records(const std::string& input, Encoding encoding = Encoding::UTF8,
                                 CsvLimits limits = {}) {
  std::istringstream in(input);
  CsvReader reader(in, encoding, limits);
  std::vector<std::string> out;
  CsvRecord record;
  while (reader.next(record)) {
    std::string text =
        std::to_string(record.line) + (record.problem.empty() ? ":" : "!" + record.problem);
    for (std::size_t i = 0; i < record.fields.size(); ++i)
      text += (i ? "|" : "") + record.fields[i];
    out.push_back(text);
  }
  return out;
}

TEST(CsvGrammar, QuotingLineEndsSeparatorsAndLimits) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(records("a,b\r\n\"x,1\",\"say \"\"hi\"\"\"\r\n\r\n\"two\nlines\",\n"),
            (Lines{"1:a|b", "2:x,1|say \"hi\"", "4:two\nlines|"}));
  EXPECT_EQ(records("\xEF\xBB\xBFh1\th2\nv,1\t\"q\"x\n5\" tall\t\n"),
            (Lines{"1:h1|h2", "2:v,1|qx", "3:5\" tall|"}));
  EXPECT_EQ(records("a\rb\r\n\nc"), (Lines{"1:a", "2:b", "4:c"}));
  EXPECT_EQ(records("a,b\n\"open,\nnever closed\n"),
            (Lines{"1:a|b", "2!a quoted field is never closed"}));
  EXPECT_EQ(records("h\n" + std::string(40, 'x') + "\nok\n", Encoding::UTF8, {32, 4}),
            (Lines{"1:h", "2!the record is longer than 32 bytes", "3:ok"}));
  EXPECT_EQ(records("1,2,3,4,5\n\"a\nb\",2\n", Encoding::UTF8, {64, 4}),
            (Lines{"1!the record has more than 4 fields", "2:a\nb|2"}));
  EXPECT_EQ(records("caf\xE9,\x80\x9D\n", Encoding::WINDOWS_1252),
            (Lines{"1:caf\u00E9|\u20AC\u009D"}));
}

TEST(CsvGrammar, FileFactsTellEncodingAndRefuseUtf16) {
  const std::pair<std::string, std::string> cases[] = {
      {"sku,caf\xC3\xA9\n", "UTF-8"},
      {"sku,caf\xE9\n", "Windows-1252"},
      {std::string(65535, 'a') + "\xC3\xA9", "UTF-8"},  // a sequence cut by the read's chunk
      {"\xFF\xFEs\0k\0"s, "UTF-16"},
      {"s\0k\0u\0"s, "UTF-16"}};
  for (const auto& [bytes, expected] : cases) {
    std::istringstream in(bytes);
    auto facts = inspect_file(in, "f.csv");
    const std::string got =
        !facts.ok() ? (facts.error().message.find("is UTF-16 text") != std::string::npos &&
                               facts.error().message.find("save it as UTF-8") != std::string::npos
                           ? "UTF-16"
                           : facts.error().message)
        : facts.value().encoding == Encoding::UTF8 ? "UTF-8"
                                                   : "Windows-1252";
    EXPECT_EQ(got, expected) << bytes.substr(0, 12);
  }
}

TEST(FileKinds, ToldFromTheHeaderWithNamesMatchedLoosely) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"item-name", "seller-sku", "price", "quantity"}, "Amazon listings"},
      {{"Item Name", "SELLER_SKU", "Price"}, "Amazon listings"},
      {{"Seller SKU ID", "MRP", "Your Selling Price", "your-stock-count", "listing_status"},
       "Flipkart listings"},
      {{"Seller SKU ID", "MRP", "Your Selling Price", "Your Stock Count"}, "none"},
      {{"sku_asin", "platform", "competitor_price_inr"}, "competitor prices"},
      {{"sku", "price"}, "none"}};
  for (const auto& [header, kind] : cases) {
    auto recognised = recognise(header);
    EXPECT_EQ(recognised ? std::string(recognised->kind) : "none", kind) << header[0];
  }
  EXPECT_EQ(known_kinds(), "Amazon listings, Flipkart listings, competitor prices");
}

TEST(Store, RefusesWhatItCannotUseInOneLine) {
  TempFolder folder;
  const auto store_in = [&](std::string_view name) { return folder.path / name; };
  ASSERT_TRUE(open_store(store_in("made")).ok());
  const std::string made = test::path_of(store_in("made") / "market.db");

  std::filesystem::create_directory(store_in("text"));
  folder.write("text/market.db", std::string(4096, 'x'));
  {
    auto other = Database::open(folder.write("other/market.db", ""), OpenMode::READ_WRITE);
    ASSERT_TRUE(other.value().execute("CREATE TABLE t (x)").ok());
    auto newer = Database::open(made, OpenMode::READ_WRITE);
    ASSERT_TRUE(newer.value().execute("PRAGMA user_version = 7").ok());
  }
  const std::pair<std::string_view, std::string> cases[] = {
      {"text", " is not a SQLite database (file is not a database)"},
      {"other", " is a SQLite database of another program, not a store"},
      {"made",
       " has schema version 7, newer than version 1 of this program: use a newer "
       "quillon_market_radar"}};
  for (const auto& [name, message] : cases) {
    auto report = open_store(store_in(name));
    ASSERT_FALSE(report.ok()) << name;
    EXPECT_EQ(report.error().message, test::path_of(store_in(name) / "market.db") + message);
    EXPECT_EQ(report.error().message.find('\n'), std::string::npos);
  }
}

}  // namespace
}  // namespace qmr::store
