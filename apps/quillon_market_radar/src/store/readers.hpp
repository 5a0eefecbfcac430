// The kinds of file the store imports, told apart by their header lines: each is a reader of one
// record into one row behind the one FileReader interface, and a new kind is one more row of the
// table in readers.cpp. Beside them, the rules for prices in paise and times of observation.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/result.hpp"

namespace qmr::store {

/// One of the seller's own listings on one platform.
struct Listing {
  std::string platform;
  std::string sku_asin;  // the ASIN where there is one, else the seller's SKU
  std::string seller_sku;
  std::string title;
  std::optional<std::int64_t> mrp_paise;    // none: unknown
  std::optional<std::int64_t> price_paise;  // none: an incomplete listing
  std::optional<std::int64_t> quantity;     // none: not given
  std::string status;
  std::string fulfillment;
  std::optional<std::int64_t> floor_paise;    // the lowest price the seller allows; none: not given
  std::optional<std::int64_t> ceiling_paise;  // the highest; none: not given
};

/// A competitor's price for one identifier on one platform, at one time.
struct CompetitorPrice {
  std::string sku_asin;
  std::string platform;
  std::int64_t price_paise = 0;
  std::optional<std::int64_t> observed_at;  // microseconds since 1970 UTC; none: the import's time
  std::optional<std::int64_t> floor_paise;  // our lowest allowed price; none: not given
  std::optional<std::int64_t> ceiling_paise;  // our highest; none: not given
};

/// One product of the Jan Aushadhi list: one code, one pack. The same medicine comes under several
/// codes, one for each pack; strength and form are written inside the generic name.
struct GenericMedicine {
  std::string drug_code;
  std::string generic_name;
  std::string unit_size;                  // the pack as the list writes it: "10's", "60 ml"
  std::optional<std::int64_t> mrp_paise;  // none: unknown (an MRP of 0, or none, in the list)
  std::string group_name;
  bool surgical = false;  // a surgical item or device, never matched to a medicine
};

/// One row of the seller's branded price list.
struct BrandedMedicine {
  std::string name;
  std::string salt_composition;
  std::int64_t price_paise = 0;
  std::string pack;  // "10 tablets"; empty when not given
};

using Row = std::variant<Listing, CompetitorPrice, GenericMedicine, BrandedMedicine>;

/// What was found in one field: why its row is rejected, or a note on a row kept.
struct FieldIssue {
  std::string column;
  std::string value;
  std::string reason;
};

/// A record read: the row, or the issue that rejects it; a row kept may carry a note (a selling
/// price above the MRP).
struct RowReading {
  std::optional<Row> row;
  std::optional<FieldIssue> issue;
};

/// Reads the records of one kind of file, whose columns its header named.
class FileReader {
 public:
  virtual ~FileReader() = default;
  /// Returns the row of `fields`, which are as many as the header's.
  [[nodiscard]] virtual RowReading read(const std::vector<std::string>& fields) const = 0;
};

/// A file's kind as told from its header line, with its reader.
struct RecognisedFile {
  std::string_view kind;  // "Amazon listings"
  std::unique_ptr<FileReader> reader;
};

/// Returns the kind whose columns the `header` holds, or none.
[[nodiscard]] std::optional<RecognisedFile> recognise(const std::vector<std::string>& header);

/// Returns the names of the kinds this program reads, for the message about a file it does not.
[[nodiscard]] std::string known_kinds();

/// Returns a price in paise, none for an empty field, or an error saying why it is no price: a
/// negative number, a word, NaN, more than two decimals, a misplaced separator. Takes "₹", "Rs.",
/// "Rs" and "INR" before the number, and Western (1,299.00) or Indian (1,29,999) grouping.
[[nodiscard]] Result<std::optional<std::int64_t>> parse_price_paise(std::string_view text);

/// Returns the microseconds since 1970-01-01T00:00:00Z of an RFC 3339 time, or of a date
/// (YYYY-MM-DD) taken as midnight in India (UTC+05:30); or why it is neither.
[[nodiscard]] Result<std::int64_t> parse_observed_at(std::string_view text);

}  // namespace qmr::store
