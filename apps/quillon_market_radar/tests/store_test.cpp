// The seller's store: the CSV grammar, the value rules and the kinds of file, the import with its
// summary and rejects file, and the store's refusals of files it cannot use.
#include "store/store.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <tuple>

#include "store/csv.hpp"
#include "store/history.hpp"
#include "store/import.hpp"
#include "store/medicines.hpp"
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

// The processor's SHA instructions give the portable code's digest for every length around a
// block's and over many blocks fed at once and in pieces (where the processor has them; the
// known digests above went through them too).
TEST(Sha256, InstructionsAgreeWithThePortableCode) {
  if (!Sha256::has_sha_instructions()) GTEST_SKIP() << "no SHA instructions on this processor";
  std::string message;
  std::minstd_rand random(7);
  for (int i = 0; i < 70'000; ++i) message += static_cast<char>(random());
  for (const std::size_t size :
       std::initializer_list<std::size_t>{1, 55, 56, 63, 64, 65, 119, 128, 1000, 65'536, 70'000}) {
    const std::string_view part = std::string_view(message).substr(0, size);
    Sha256 fast, portable(Sha256Engine::PORTABLE), pieces;
    fast.update(part);
    portable.update(part);
    for (std::size_t at = 0; at < part.size(); at += 100) pieces.update(part.substr(at, 100));
    const std::string expected = portable.hex_digest();
    EXPECT_EQ(fast.hex_digest(), expected) << size;
    EXPECT_EQ(pieces.hex_digest(), expected) << size;
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
      {",299", "a misplaced thousands separator"},
      {"1,299,", "a misplaced thousands separator"},
      {"12,34,567,890", "a misplaced thousands separator"},
      {"1,23,456", "12345600"},
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
      {{"\xEF\xBB\xBFSr No", "Drug Code", "Generic Name", "Unit Size", "MRP", "Group Name"},
       "Jan Aushadhi list"},
      {{"drug_code", "GENERIC NAME", "unit-size", "mrp", "group name"}, "Jan Aushadhi list"},
      {{"Drug Code", "Generic Name", "MRP", "Group Name"}, "none"},
      {{"branded_medicine_name", "salt_composition", "branded_price_inr"}, "branded prices"},
      {{"Branded Medicine Name", "Salt Composition", "Branded Price INR", "Pack"},
       "branded prices"},
      {{"sku", "price"}, "none"}};
  for (const auto& [header, kind] : cases) {
    auto recognised = recognise(header);
    EXPECT_EQ(recognised ? std::string(recognised->kind) : "none", kind) << header[0];
  }
  EXPECT_EQ(known_kinds(),
            "Amazon listings, Flipkart listings, competitor prices, Jan Aushadhi list, branded "
            "prices");
}

TEST(RejectsFile, CellsAreNeverFormulas) {
  for (const std::string_view text : {"=1+2", "+91", "-5", "@SUM(A1)", "\tx", "\rx"}) {
    EXPECT_EQ(neutralise_cell(text).substr(1), text);
    EXPECT_EQ(neutralise_cell(text)[0], '\'');
  }
  for (const std::string_view text : {"", "a=b", "5-", "'quoted"})
    EXPECT_EQ(neutralise_cell(text), text);
}

constexpr std::int64_t NOW = 1'765'324'800'000'000;  // 2025-12-10T00:00:00Z

Result<ImportReport> import_now(const TempFolder& folder, std::vector<std::string> files,
                                bool strict = false, bool dry_run = false) {
  ImportOptions options;
  options.now = NOW;
  options.strict = strict;
  options.dry_run = dry_run;
  auto store = open_for_import(folder.path / "data", dry_run);
  if (!store.ok()) return store.error();
  return import_files(store.value(), folder.path / "data", files, options);
}

TEST(Import, ThreeKindsGiveTheGoldenSummaryRejectsAndRows) {
  TempFolder folder;
  const auto amazon = folder.write("amazon.txt", test::amazon_report());
  const auto flipkart = folder.write("flipkart.csv", test::flipkart_listings());
  const auto prices = folder.write("prices.csv", test::competitor_prices_1252());
  auto report = import_now(folder, {amazon, flipkart, prices});
  ASSERT_TRUE(report.ok()) << report.error().message;
  EXPECT_TRUE(report.value().all_imported());
  const auto rejects = [&](std::string_view name) {
    return "  every reject: " + test::path_of(folder.path / "data" / name) + "\n";
  };
  const ImportSummary summary = summarise(report.value());
  EXPECT_EQ(summary.err, "");
  EXPECT_EQ(
      summary.out,
      amazon + ": Amazon listings, 10 rows read: 3 added, 0 updated, 0 unchanged, 7 rejected\n" +
          "  line 5, column \"asin1\", value \"B0-SHORT\": not an ASIN: ten letters or digits\n"
          "  line 6, column \"price\", value \"-5\": a negative price\n"
          "  line 7, column \"price\", value \"NaN\": not a price\n"
          "  line 8, column \"price\", value \"12.345\": more than two decimals\n"
          "  line 9: a second row for the same item, first on line 2\n"
          "  and 2 more rejects\n" +
          rejects("rejects-259805950275.csv") + flipkart +
          ": Flipkart listings, 4 rows read: 3 added, 0 updated, 0 unchanged, 1 rejected\n"
          "  line 6, column \"MRP\", value \"abc\": not a price\n" +
          rejects("rejects-2a7d453799de.csv") +
          "  line 5, column \"Your Selling Price\", value \"650\": kept, but the selling price is "
          "above the MRP of 500.00\n" +
          prices +
          ": competitor prices, 6 rows read: 3 added, 0 updated, 0 unchanged, 3 rejected\n" +
          "  read as Windows-1252: the file is not valid UTF-8\n"
          "  line 5, column \"platform\", value \"Meesho\": not a platform this program knows "
          "(Amazon.in, Flipkart)\n"
          "  line 6, column \"competitor_price_inr\", value \"\": the price is empty\n"
          "  line 7, column \"observed_at\", value \"2025-02-29\": not a date of the calendar\n" +
          rejects("rejects-b98ad6667a80.csv"));
  // Every reject, each text cell kept from being taken for a formula.
  EXPECT_EQ(folder.read(report.value().files[0].rejects_file),
            "\xEF\xBB\xBFline,column,value,reason\r\n"
            "5,asin1,B0-SHORT,not an ASIN: ten letters or digits\r\n"
            "6,price,'-5,a negative price\r\n"
            "7,price,NaN,not a price\r\n"
            "8,price,12.345,more than two decimals\r\n"
            "9,,,\"a second row for the same item, first on line 2\"\r\n"
            "10,price,'=1+2,not a price\r\n"
            "11,,,3 fields where the header has 29\r\n");

  // Paise, leading zeros, an unknown MRP (none, or 0), an incomplete listing, the quoted text.
  auto store = open_store(folder.path / "data");
  ASSERT_TRUE(store.ok());
  EXPECT_EQ(
      test::rows(
          store.value(),
          "SELECT platform, sku_asin, seller_sku, title, mrp_paise, price_paise, quantity, "
          "status, fulfillment, import_id, source_line FROM listings ORDER BY platform, sku_asin"),
      "Amazon.in|0042|0042|Desk Lamp|-|-|3|Active|DEFAULT|1|4\n"
      "Amazon.in|B0TESTAAA1|BTL-001|Steel Bottle 1L|-|129900|12|Active|DEFAULT|1|2\n"
      "Amazon.in|B0TESTBBB2|KRT-7|Cotton Kurta|-|12999900|0|Active|DEFAULT|1|3\n"
      "Flipkart|FK-1|FK-1|Steel Bottle, 1 litre|199900|149950|40|ACTIVE||2|2\n"
      "Flipkart|FK-2|FK-2|Kurta \"Festive\"\r\nsecond line|-|79900|3|ACTIVE||2|3\n"
      "Flipkart|FK-3|FK-3|Lamp|50000|65000|2|ACTIVE||2|5\n");
  // A date is midnight in India, a row without one the import's time; the é decoded.
  EXPECT_EQ(
      test::rows(store.value(),
                 "SELECT sku_asin, platform, observed_at, price_paise, import_id, source_line "
                 "FROM competitor_prices ORDER BY sku_asin"),
      "B0TESTAAA1|Amazon.in|1764527400000000|114900|3|2\n"
      "Caf\u00E9|Flipkart|1765324800000000|10000|3|4\n"
      "FK-1|Flipkart|1764583200000000|139900|3|3\n");

  // Again: each file is known by its SHA-256 and nothing changes.
  auto again = import_now(folder, {amazon, flipkart, prices});
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(summarise(again.value()).out,
            amazon +
                ": already imported at 2025-12-10T00:00:00Z (the same SHA-256); nothing to do\n" +
                flipkart +
                ": already imported at 2025-12-10T00:00:00Z (the same SHA-256); nothing to do\n" +
                prices +
                ": already imported at 2025-12-10T00:00:00Z (the same SHA-256); nothing to do\n");

  // A changed report: one price changed, the rest as they were.
  const auto changed = folder.write("changed.txt", test::amazon_report_changed());
  auto update = import_now(folder, {changed});
  ASSERT_TRUE(update.ok());
  EXPECT_EQ(
      summarise(update.value()).out,
      changed + ": Amazon listings, 3 rows read: 0 added, 1 updated, 2 unchanged, 0 rejected\n");
  EXPECT_EQ(test::rows(store.value(),
                       "SELECT price_paise, import_id FROM listings WHERE seller_sku = 'BTL-001'"),
            "139900|4\n");
}

// A second row of a key is rejected whatever the first did to the store (added it, updated it or
// left it unchanged), and names the line of the first.
TEST(Import, SecondRowOfAKeyNamesTheFirstWhateverItDid) {
  const std::string listings = test::AMAZON_HEADER + test::amazon_row("A", "A-1", "100", "1", "") +
                               test::amazon_row("B", "B-1", "200", "1", "");
  const std::string prices =
      "sku_asin,platform,competitor_price_inr,observed_at\n"
      "A-1,Flipkart,100,2025-12-01\nB-1,Flipkart,200,2025-12-01\n";
  const std::string price_rows =
      "A-1,Flipkart,100,2025-12-01\nA-1,Flipkart,101,2025-12-01\nB-1,Flipkart,250,2025-12-01\n"
      "B-1,Flipkart,260,2025-12-01\nC-1,Flipkart,5,2025-12-01\nC-1,Flipkart,6,2025-12-01\n";
  const std::pair<std::string, std::string> cases[] = {
      {listings, test::AMAZON_HEADER + test::amazon_row("A", "A-1", "100", "1", "") +
                     test::amazon_row("A", "A-1", "101", "1", "") +
                     test::amazon_row("B", "B-1", "250", "1", "") +
                     test::amazon_row("B", "B-1", "260", "1", "") +
                     test::amazon_row("C", "C-1", "5", "1", "") +
                     test::amazon_row("C", "C-1", "6", "1", "")},
      {prices, "sku_asin,platform,competitor_price_inr,observed_at\n" + price_rows}};
  for (const auto& [first, second] : cases) {
    TempFolder folder;
    auto before = import_now(folder, {folder.write("first.txt", first)});
    ASSERT_TRUE(before.ok() && before.value().all_imported());
    auto report = import_now(folder, {folder.write("second.txt", second)});
    ASSERT_TRUE(report.ok()) << report.error().message;
    const std::string out = summarise(report.value()).out;
    EXPECT_NE(out.find("6 rows read: 1 added, 1 updated, 1 unchanged, 3 rejected\n"
                       "  line 3: a second row for the same item, first on line 2\n"
                       "  line 5: a second row for the same item, first on line 4\n"
                       "  line 7: a second row for the same item, first on line 6\n"),
              std::string::npos)
        << out;
  }
}

// Returns the histories of `query` as lines "sku|platform|title|floor|ceiling|ours|competitor",
// each series as "HOURSh=PAISE" items, hours from NOW.
std::string histories(Database& store, const HistoryQuery& query) {
  auto read = read_price_history(store, query);
  if (!read.ok()) return read.error().message;
  const auto series = [](const std::vector<ObservedPrice>& points) {
    std::string out;
    for (const ObservedPrice& point : points) {
      if (!out.empty()) out += ',';
      out += std::to_string((point.at - NOW) / 3'600'000'000) + "h=" + std::to_string(point.paise);
    }
    return out;
  };
  std::string out;
  for (const StoredHistory& history : read.value()) {
    out += history.sku_asin + "|" + history.platform + "|" + history.title + "|" +
           (history.floor_paise ? std::to_string(*history.floor_paise) : "-") + "|" +
           (history.ceiling_paise ? std::to_string(*history.ceiling_paise) : "-") + "|" +
           series(history.ours) + "|" + series(history.competitor) + "\n";
  }
  return out;
}

TEST(PriceHistory, OurPriceObservedAtEveryImportBesideTheLimitsAndReadPerPlatform) {
  TempFolder folder;
  const auto data = folder.path / "data";
  constexpr std::int64_t DAY = 86'400'000'000;
  const std::string amazon =
      "seller-sku\titem-name\tprice\tquantity\tasin1\tminimum-seller-allowed-price\t"
      "maximum-seller-allowed-price\n";
  const std::string prices =
      "sku_asin,platform,competitor_price_inr,observed_at,min_price_inr,max_price_inr\n";
  // Each import at its own time: its counts (read, added, updated, unchanged, rejected) and its
  // first reject.
  const std::tuple<std::int64_t, std::string, std::string, std::string> imports[] = {
      // An incomplete listing is no observation; 0 is no limit; a floor above the ceiling and a
      // limit that is no price are rejected.
      {NOW,
       amazon + "A\tBottle\t1,299.00\t5\tB0TESTAAA1\t1,100\t1,500\nB\tLamp\t\t1\t\t0\t\n" +
           "C\tKurta\t500\t1\t\t600\t550\nD\tMug\t200\t1\t\tabc\t\n",
       "4 2 0 0 2",
       "4 minimum-seller-allowed-price 600: the lowest allowed price is above the highest, 550.00"},
      // The same price a day later (another file, the lamp now priced) is observed again.
      {NOW + DAY, amazon + "A\tBottle\t1299\t5\tB0TESTAAA1\t\t\nB\tLamp\t90\t1\t\t\t\n",
       "2 0 1 1 0", ""},
      // An empty limit keeps the stored one; a limit alone changes an unchanged competitor row.
      {NOW + 2 * DAY,
       prices + "B0TESTAAA1,Amazon.in,1149,2025-12-09T00:00:00Z,,\nB,Amazon.in,80,,70,\n" +
           "B0TESTAAA1,Flipkart,1200,2025-12-08T00:00:00Z,,\n",
       "3 3 0 0 0", ""},
      {NOW + 3 * DAY, prices + "B0TESTAAA1,Amazon.in,1149,2025-12-09T00:00:00Z,1000,\n",
       "1 0 1 0 0", ""},
      {NOW + 4 * DAY, prices + "B,Amazon.in,80,2025-12-02,x,\n", "1 0 0 0 1",
       "2 min_price_inr x: not a price"},
  };
  int index = 0;
  for (const auto& [now, bytes, counts, first_reject] : imports) {
    auto store = open_store(data);
    ASSERT_TRUE(store.ok());
    ImportOptions options;
    options.now = now;
    auto report = import_files(store.value(), data,
                               {folder.write(std::to_string(index++) + ".txt", bytes)}, options);
    ASSERT_TRUE(report.ok()) << report.error().message;
    const FileReport& file = report.value().files[0];
    std::string got;
    for (const auto count : {file.read, file.added, file.updated, file.unchanged, file.rejected}) {
      if (!got.empty()) got += ' ';
      got += std::to_string(count);
    }
    for (const RowIssue& row : file.first_rejects) {
      got += '\n';
      got += std::to_string(row.line) + " " + row.issue.column + " " + row.issue.value + ": " +
             row.issue.reason;
      break;
    }
    EXPECT_EQ(got, counts + (first_reject.empty() ? "" : "\n" + first_reject)) << index;
  }
  auto store = open_store(data);
  ASSERT_TRUE(store.ok());
  EXPECT_EQ(test::rows(store.value(), "SELECT * FROM our_prices ORDER BY 1, 3"),
            "B|Amazon.in|1765411200000000|9000|2|3\n"
            "B0TESTAAA1|Amazon.in|1765324800000000|129900|1|2\n"
            "B0TESTAAA1|Amazon.in|1765411200000000|129900|2|2\n");
  EXPECT_EQ(test::rows(store.value(), "SELECT * FROM price_limits ORDER BY 1"),
            "B|Amazon.in|7000|-|3|3\nB0TESTAAA1|Amazon.in|100000|150000|4|2\n");

  // Two files of one import share its time: the later one's price is the observation.
  ImportOptions together;
  together.now = NOW + 5 * DAY;
  auto both = import_files(store.value(), data,
                           {folder.write("a.txt", amazon + "A\tBottle\t1000\t5\tB0TESTAAA1\t\t\n"),
                            folder.write("b.txt", amazon + "A\tBottle\t1100\t5\tB0TESTAAA1\t\t\n")},
                           together);
  ASSERT_TRUE(both.ok()) << both.error().message;
  EXPECT_EQ(test::rows(store.value(),
                       "SELECT price_paise, import_id FROM our_prices WHERE "
                       "observed_at = " +
                           std::to_string(NOW + 5 * DAY)),
            "110000|7\n");
  ASSERT_TRUE(store.value().execute("DELETE FROM our_prices WHERE import_id > 5").ok());

  // Read back per platform, from a time on; the identifier is bound, exactly as stored.
  const std::string bottle_amazon =
      "B0TESTAAA1|Amazon.in|Bottle|100000|150000|0h=129900,24h=129900|";
  const std::pair<HistoryQuery, std::string> cases[] = {
      {{"B0TESTAAA1", {}, {}},
       bottle_amazon + "-24h=114900\nB0TESTAAA1|Flipkart||-|-||-48h=120000\n"},
      {{"B0TESTAAA1", "Flipkart", {}}, "B0TESTAAA1|Flipkart||-|-||-48h=120000\n"},
      {{"B0TESTAAA1", {}, NOW}, bottle_amazon + "\nB0TESTAAA1|Flipkart||-|-||\n"},
      {{"B0TESTAAA1", "Amazon.in", NOW + 1},
       "B0TESTAAA1|Amazon.in|Bottle|100000|150000|24h=129900|\n"},
      {{"B", {}, {}}, "B|Amazon.in|Lamp|7000|-|24h=9000|48h=8000\n"},
      {{"b0testaaa1", {}, {}}, ""},
      {{"B0TESTAAA1", "Meesho", {}}, ""},
      {{"B0TESTAAA1' OR '1'='1", {}, {}}, ""}};
  for (const auto& [query, expected] : cases) {
    EXPECT_EQ(histories(store.value(), query), expected) << query.sku_asin;
  }

  // A store of the schema before observations: each listing becomes its first observation, at
  // the time of the import that last changed it.
  ASSERT_TRUE(
      store.value()
          .execute("DROP TABLE our_prices; DROP TABLE price_limits; DROP TABLE "
                   "jan_aushadhi_medicines; DROP TABLE branded_medicines; DROP TABLE daily_prices; "
                   "ALTER TABLE listings DROP COLUMN competitor_paise; ALTER TABLE listings DROP "
                   "COLUMN competitor_at; PRAGMA user_version = 1")
          .ok());
  auto migrated = open_store(data);
  ASSERT_TRUE(migrated.ok());
  EXPECT_EQ(test::rows(migrated.value(),
                       "SELECT sku_asin, observed_at, price_paise, import_id FROM "
                       "our_prices ORDER BY 1, 2"),
            "B|1765411200000000|9000|2\nB0TESTAAA1|1765756800000000|110000|7\n");
  EXPECT_EQ(migrated.value().query_integer("PRAGMA user_version").value(), schema_version());
}

// The Jan Aushadhi list with a byte-order mark, CRLF and a Windows-1252 dash, an MRP of 0,
// several packs of one medicine, a surgical item, a look-alike and bad rows; the seller's branded
// prices, one without a pack and one at 0. The store answers with the exact matches only.
TEST(Import, MedicineListsAreKeptAndMatchedFromTheStore) {
  TempFolder folder;
  const auto list = folder.write(
      "jan_aushadhi.csv",
      "\xEF\xBB\xBFSr No,Drug Code,Generic Name,Unit Size,MRP,Group Name\r\n"
      "1,1,Paracetamol Tablets IP 650 mg,10's,10.00,Analgesic\r\n"
      "2,2,Paracetamol Tablets IP 650 mg,15's,18,Analgesic\r\n"
      "3,3,Amoxycillin and Potassium Clavulanate Tablets IP 500 mg + 125 mg,10's,58,Anti\x96"
      "Infective\r\n"
      "4,4,Cetirizine Dihydrochloride Syrup 5 mg per 5 ml,60 ml,0,Anti-Allergic\r\n"
      "5,5,Cetirizine Dihydrochloride Syrup 5 mg per 5 ml,30 ml,9,Anti-Allergic\r\n"
      "6,S101,Povidone Iodine Solution 5% w/v,100 ml,20,Surgical Items\r\n"
      "7,7,Hydralazine Tablets IP 25 mg,10's,5,Cardiovascular\r\n"
      "8,,Orphan Tablets 5 mg,10's,5,Other\r\n"
      "9,9,Ibuprofen Tablets IP 400 mg,10's,abc,Analgesic\r\n"
      "10,1,Paracetamol Tablets IP 500 mg,10's,8,Analgesic\r\n");
  const auto branded = folder.write(
      "branded.csv",
      "branded_medicine_name,salt_composition,branded_price_inr,pack\n"
      "Dolo 650 Tablet,Paracetamol (650mg),30.91,15 tablets\n"
      "Augmentin 625 Duo Tablet,Amoxycillin (500mg) + Clavulanic Acid (125mg),204,10 tablets\n"
      "Cetzine\u00AE Syrup,Cetirizine (5mg/5ml),45,60 ml\n"
      "Atarax 25 Tablet,Hydroxyzine (25mg),80,15 tablets\n"
      "Betadine Solution,Povidone Iodine (5% w/v),100,100 ml\n"
      "Calpol Tablet,Paracetamol (650mg),20,\n"
      "Free Tablet,Paracetamol (650mg),0,10 tablets\n");
  auto report = import_now(folder, {list, branded});
  ASSERT_TRUE(report.ok()) << report.error().message;
  EXPECT_EQ(summarise(report.value()).out,
            list + ": Jan Aushadhi list, 10 rows read: 7 added, 0 updated, 0 unchanged, 3 " +
                "rejected\n  read as Windows-1252: the file is not valid UTF-8\n"
                "  line 9, column \"Drug Code\", value \"\": the drug code is empty\n"
                "  line 10, column \"MRP\", value \"abc\": not a price\n"
                "  line 11: a second row for the same item, first on line 2\n"
                "  every reject: " +
                report.value().files[0].rejects_file + "\n" + branded +
                ": branded prices, 7 rows read: 6 added, 0 updated, 0 unchanged, 1 rejected\n"
                "  line 8, column \"branded_price_inr\", value \"0\": a price of 0\n"
                "  every reject: " +
                report.value().files[1].rejects_file + "\n");

  auto store = open_store(folder.path / "data");
  ASSERT_TRUE(store.ok());
  EXPECT_EQ(test::rows(store.value(),
                       "SELECT drug_code, unit_size, mrp_paise, group_name, surgical, import_id, "
                       "source_line FROM jan_aushadhi_medicines ORDER BY source_line"),
            "1|10's|1000|Analgesic|0|1|2\n2|15's|1800|Analgesic|0|1|3\n"
            "3|10's|5800|Anti\u2013Infective|0|1|4\n4|60 ml|-|Anti-Allergic|0|1|5\n"
            "5|30 ml|900|Anti-Allergic|0|1|6\nS101|100 ml|2000|Surgical Items|1|1|7\n"
            "7|10's|500|Cardiovascular|0|1|8\n");
  EXPECT_EQ(test::rows(store.value(),
                       "SELECT name, pack, price_paise, import_id, source_line FROM "
                       "branded_medicines WHERE name LIKE 'C%' ORDER BY name"),
            "Calpol Tablet||2000|2|7\nCetzine\u00AE Syrup|60 ml|4500|2|4\n");

  const std::pair<std::string_view, std::string> queries[] = {
      {"",
       "Augmentin 625 Duo Tablet (10 tablets) 204.0 58.0 71.57\n"
       "Cetzine\u00AE Syrup (60 ml) 45.0 18.0 60.0\n"
       "Dolo 650 Tablet (15 tablets) 30.91 15.0 51.47\n"},
      {"CLAVULANIC", "Augmentin 625 Duo Tablet (10 tablets) 204.0 58.0 71.57\n"},
      {"Atarax", ""},
      {"Povidone", ""}};
  for (const auto& [query, expected] : queries) {
    auto answer = query_medicines(store.value(), query);
    ASSERT_TRUE(answer.ok()) << answer.error().message;
    std::string got;
    for (const auto& m : answer.value().medicines) {
      got += m.branded_medicine_name;
      for (const double figure : {m.branded_price_inr, m.jan_aushadhi_price_inr, m.savings_percent})
        json::write_compact(json::Value(figure), got += ' ');
      got += '\n';
    }
    EXPECT_EQ(got, expected) << query;
    EXPECT_EQ(answer.value().more, 0u);
  }
}

TEST(Import, StrictDryRunUnknownAndStandardInput) {
  TempFolder folder;
  const auto amazon = folder.write("amazon.txt", test::amazon_report());
  const auto unknown = folder.write("unknown.csv", "sku,pr\x1b[31mice\nA,1\n");
  const auto utf16 = folder.write("utf16.csv", "\xFF\xFEs\0k\0"s);
  // A dry run without a store makes no folder.
  auto dry = import_now(folder, {amazon}, false, true);
  ASSERT_TRUE(dry.ok());
  EXPECT_EQ(dry.value().files[0].outcome, FileOutcome::CHECKED);
  EXPECT_EQ(dry.value().files[0].added, 3u);
  EXPECT_FALSE(std::filesystem::exists(folder.path / "data"));

  auto strict = import_now(folder, {amazon, unknown, utf16}, true);
  ASSERT_TRUE(strict.ok());
  EXPECT_FALSE(strict.value().all_imported());
  const ImportSummary summary = summarise(strict.value());
  EXPECT_EQ(summary.err.substr(0, summary.err.find('\n')),
            amazon +
                ": 7 rows rejected, and --strict takes a file whole or not at all: nothing of it "
                "was imported");
  EXPECT_NE(summary.err.find(unknown +
                             " is none of the files this program reads (Amazon listings, Flipkart "
                             "listings, competitor prices, Jan Aushadhi list, branded prices); its "
                             "header line is: sku,pr?[31mice\n"),
            std::string::npos);
  EXPECT_NE(summary.err.find(utf16 + " is UTF-16 text"), std::string::npos);
  EXPECT_FALSE(strict.value().files[0].rejects_file.empty());
  auto store = open_store(folder.path / "data");
  ASSERT_TRUE(store.ok());
  EXPECT_EQ(test::rows(store.value(),
                       "SELECT count(*) FROM listings UNION ALL SELECT count(*) FROM imports"),
            "0\n0\n");

  std::istringstream input("sku_asin,platform,competitor_price_inr\nB0TESTAAA1,Amazon.in,99\n");
  ImportOptions options;
  options.standard_input = &input;
  std::pair<std::uint64_t, std::uint64_t> progress;  // the last call: the whole file read
  options.progress = [&](std::uint64_t done, std::uint64_t total) { progress = {done, total}; };
  auto piped = import_files(store.value(), folder.path / "data", {"-"}, options);
  ASSERT_TRUE(piped.ok());
  EXPECT_EQ(progress, std::make_pair(input.str().size(), input.str().size()));
  EXPECT_EQ(summarise(piped.value()).out,
            "standard input: competitor prices, 1 rows read: 1 added, 0 updated, 0 unchanged, 0 "
            "rejected\n");
}

TEST(Import, TheSameFileImportedMeanwhileIsANoOp) {
  TempFolder folder;
  const auto data = folder.path / "data";
  const auto file = folder.write("prices.csv", test::competitor_prices(3, 0));
  auto first = open_store(data);
  auto second = open_store(data);
  ASSERT_TRUE(first.ok() && second.ok());
  // Another import of the file commits after the first one asked, before it writes.
  ImportOptions options;
  bool raced = false;
  options.progress = [&](std::uint64_t done, std::uint64_t) {
    if (done == 0 && !std::exchange(raced, true)) {
      EXPECT_TRUE(import_files(second.value(), data, {file}, {}).ok());
    }
  };
  auto report = import_files(first.value(), data, {file}, options);
  ASSERT_TRUE(report.ok()) << report.error().message;
  EXPECT_TRUE(raced);
  EXPECT_EQ(report.value().files[0].outcome, FileOutcome::ALREADY_IMPORTED);
  EXPECT_EQ(test::rows(first.value(), "SELECT count(*) FROM competitor_prices"), "3\n");
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
      {"made", " has schema version 7, newer than version " + std::to_string(schema_version()) +
                   " of this program: use a newer quillon_market_radar"}};
  for (const auto& [name, message] : cases) {
    auto report = open_store(store_in(name));
    ASSERT_FALSE(report.ok()) << name;
    EXPECT_EQ(report.error().message, test::path_of(store_in(name) / "market.db") + message);
    EXPECT_EQ(report.error().message.find('\n'), std::string::npos);
  }
}

TEST(Store, FullDiskAndCorruptionLeaveTheStoreAsItWas) {
  TempFolder folder;
  const auto data = folder.path / "data";
  ASSERT_TRUE(import_now(folder, {folder.write("small.csv", test::competitor_prices(1, 0))}).ok());
  {
    // A store that may not grow by more than two pages: the large file fails whole.
    auto store = open_store(data);
    ASSERT_TRUE(store.ok());
    const auto pages = store.value().query_integer("PRAGMA page_count");
    ASSERT_TRUE(
        store.value().execute("PRAGMA max_page_count = " + std::to_string(pages.value() + 2)).ok());
    auto full = import_files(store.value(), data,
                             {folder.write("large.csv", test::competitor_prices(5000, 1))}, {});
    ASSERT_FALSE(full.ok());
    EXPECT_EQ(full.error().message,
              test::path_of(data / "market.db") +
                  " cannot grow: the disk is full (database or disk is full)");
    EXPECT_EQ(
        test::rows(store.value(),
                   "SELECT count(*) FROM competitor_prices UNION ALL SELECT count(*) FROM imports"),
        "1\n1\n");
    EXPECT_EQ(check_integrity(store.value()).value(), "ok");
  }
  // A page of the file overwritten: SQLite finds it corrupt, and the import says so.
  test::corrupt_table_pages(data / "market.db");
  auto corrupt = import_now(folder, {folder.write("more.csv", test::competitor_prices(1, 2))});
  ASSERT_FALSE(corrupt.ok());
  EXPECT_NE(corrupt.error().message.find("market.db is corrupt ("), std::string::npos)
      << corrupt.error().message;
}

}  // namespace
}  // namespace qmr::store
