// What the store's tests share: a temporary folder, fixture files written by the tests themselves
// (no seller's data), and rows read back from a store as text.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>

#include "store/sqlite.hpp"
#include "store/store.hpp"

namespace qmr::store::test {

using namespace std::string_literals;

inline std::string path_of(const std::filesystem::path& path) { return path_text(path); }

/// A folder of its own below the system's temporary one, removed with what it holds.
struct TempFolder {
  std::filesystem::path path = std::filesystem::temp_directory_path() /
                               ("store_test-" + std::to_string(std::random_device()()));
  TempFolder() { std::filesystem::create_directories(path); }
  ~TempFolder() { std::filesystem::remove_all(path); }
  // Writes `bytes` to `name` inside the folder; returns its path.
  std::string write(const std::string& name, const std::string& bytes) const {
    std::filesystem::create_directories((path / name).parent_path());
    std::ofstream(path / name, std::ios::binary) << bytes;
    return path_of(path / name);
  }
  std::string read(const std::string& file) const {
    std::ostringstream bytes;
    bytes << std::ifstream(file, std::ios::binary).rdbuf();
    return bytes.str();
  }
};

/// Returns the rows of `sql` as lines of fields joined by '|'; NULL is "-".
inline std::string rows(Database& database, const std::string& sql) {
  auto statement = database.prepare(sql);
  if (!statement.ok()) return statement.error().message;
  std::string out;
  for (const int columns = statement.value().column_count();;) {
    auto row = statement.value().step();
    if (!row.ok()) return row.error().message;
    if (!row.value()) return out;
    for (int i = 0; i < columns; ++i) {
      out += i ? "|" : "";
      out += statement.value().is_null(i) ? "-" : std::string(statement.value().text(i));
    }
    out += '\n';
  }
}

/// An Amazon All Listings report row in the marketplace's column order (tab-separated).
inline std::string amazon_row(const std::string& title, const std::string& sku,
                              const std::string& price, const std::string& quantity,
                              const std::string& asin, const std::string& product_id = "",
                              const std::string& id_type = "") {
  return title + "\t\t\t" + sku + "\t" + price + "\t" + quantity +
         "\t2025-11-02 10:00:00 IST\t\ty\t" + id_type + "\t\t\t11\t\t\t\t" + asin + "\t\t\t\t\t\t" +
         product_id + "\t\t\t\tDEFAULT\tMigrated\tActive\n";
}
inline const std::string AMAZON_HEADER =
    "item-name\titem-description\tlisting-id\tseller-sku\tprice\tquantity\topen-date\timage-url\t"
    "item-is-marketplace\tproduct-id-type\tzshop-shipping-fee\titem-note\titem-condition\tzshop-"
    "category1\t"
    "zshop-browse-path\tzshop-storefront-feature\tasin1\tasin2\tasin3\twill-ship-internationally\t"
    "expedited-shipping\tzshop-boldface\tproduct-id\tbid-for-featured-placement\tadd-delete\t"
    "pending-quantity\tfulfillment-channel\tmerchant-shipping-group\tstatus\n";

/// Three good listings (Western and Indian grouping, an empty price, an identifier with leading
/// zeros) and a bad row of each kind.
inline std::string amazon_report() {
  return AMAZON_HEADER + amazon_row("Steel Bottle 1L", "BTL-001", "1,299.00", "12", "B0TESTAAA1") +
         amazon_row("Cotton Kurta", "KRT-7", "\u20B91,29,999", "0", "", "B0TESTBBB2", "1") +
         amazon_row("Desk Lamp", "0042", "", "3", "", "8901234567890", "4") +
         amazon_row("Short ASIN", "BAD-1", "100", "1", "B0-SHORT") +
         amazon_row("Minus", "NEG-1", "-5", "1", "") +
         amazon_row("Not a number", "NAN-1", "NaN", "1", "") +
         amazon_row("Three decimals", "DEC-1", "12.345", "1", "") +
         amazon_row("Steel Bottle again", "BTL-001", "1,299.00", "12", "B0TESTAAA1") +
         amazon_row("Formula", "@SUM", "=1+2", "1", "") + "Cut short\t\t\n";
}

/// The good rows of amazon_report with the bottle's price changed.
inline std::string amazon_report_changed() {
  return AMAZON_HEADER + amazon_row("Steel Bottle 1L", "BTL-001", "1,399.00", "12", "B0TESTAAA1") +
         amazon_row("Cotton Kurta", "KRT-7", "\u20B91,29,999", "0", "", "B0TESTBBB2", "1") +
         amazon_row("Desk Lamp", "0042", "", "3", "", "8901234567890", "4");
}

/// A Flipkart listings file with a byte-order mark, CRLF, loosely written column names, a quoted
/// separator, quoted quotes and a quoted line break, an MRP of 0, a price above the MRP and a bad
/// MRP.
inline std::string flipkart_listings() {
  return "\xEF\xBB\xBFSeller SKU Id,Product Title,MRP,Your Selling "
         "Price,your-stock-count,LISTING_STATUS\r\n"
         "FK-1,\"Steel Bottle, 1 litre\",\"1,999\",1499.5,40,ACTIVE\r\n"
         "FK-2,\"Kurta \"\"Festive\"\"\r\nsecond line\",0,799,3,ACTIVE\r\n"
         "FK-3,Lamp,500,650,2,ACTIVE\r\n"
         "FK-4,Ghost,abc,100,1,INACTIVE\r\n";
}

/// Competitor prices in Windows-1252 (an é as the single byte E9), with an unknown platform, an
/// empty price and a date not of the calendar.
inline std::string competitor_prices_1252() {
  return "sku_asin,platform,competitor_price_inr,observed_at\n"
         "B0TESTAAA1,amazon.in,\"1,149.00\",2025-12-01\n"
         "FK-1,Flipkart,INR 1399,2025-12-01T10:00:00Z\n"
         "Caf\xE9,Flipkart,100,\n"
         "FK-1,Meesho,10,\n"
         "FK-2,Flipkart,,2025-12-01\n"
         "FK-2,Flipkart,100,2025-02-29\n";
}

/// `count` competitor prices whose identifiers start at `first` * count.
inline std::string competitor_prices(int count, int first) {
  std::string text = "sku_asin,platform,competitor_price_inr\n";
  for (int i = first * count; i < (first + 1) * count; ++i) {
    text += "SKU-" + std::to_string(i) + "-with-a-longer-identifier,Flipkart," +
            std::to_string(100 + i % 900) + "\n";
  }
  return text;
}

/// Takes a store back to schema 3, before the daily roll-up and the latest competitor price on
/// the listing, its rows kept: the next open brings it forward.
inline constexpr std::string_view BACK_TO_SCHEMA_3 =
    "DROP TABLE daily_prices; DROP TRIGGER our_prices_add_day; DROP TRIGGER "
    "our_prices_update_day; DROP TRIGGER our_prices_delete_day; ALTER TABLE listings DROP COLUMN "
    "competitor_paise; ALTER TABLE listings DROP COLUMN competitor_at; PRAGMA user_version = 3";

/// Overwrites every page of `file` after the first with bytes no page has.
inline void corrupt_table_pages(const std::filesystem::path& file) {
  const auto size = std::filesystem::file_size(file);
  std::fstream bytes(file, std::ios::binary | std::ios::in | std::ios::out);
  bytes.seekp(4096);
  bytes << std::string(size - 4096, '\x5a');
}

}  // namespace qmr::store::test
