// The four market records and the two JSON forms in which they leave the engine: the compact
// record array of the dashboard (members in declaration order) and the generic JSON value of the
// tool server (members written in sorted order).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/json_writer.hpp"

namespace qmr::engine {

/// One product on one marketplace whose price is watched. Prices are rupees, the delta percent;
/// a figure that is not known (a listing without a price, a product without a competitor's
/// price) is empty and written as JSON null.
struct TrackedProduct {
  std::string sku_asin;
  std::string title;
  std::string platform;
  std::optional<double> original_price_inr;
  std::optional<double> current_price_inr;
  std::optional<double> competitor_price_inr;
  std::optional<double> price_delta_percent;
  std::string stock_status;
  std::string last_checked_utc;
};

/// Returns the price gap of a product, by which lists are ordered largest first: the size of its
/// delta percent whichever way it points. Empty without a delta (no competitor's price, or no
/// price of ours), which comes after every gap.
[[nodiscard]] std::optional<double> price_gap(const TrackedProduct& product);

/// Review analysis of one product.
struct ReviewIntel {
  std::string product_asin;
  std::uint64_t total_reviews_analyzed = 0;
  double fake_review_ratio_percent = 0;
  std::vector<std::string> top_defects;
  double manufacturer_defect_score = 0;
};

/// A branded medicine and its Jan Aushadhi generic equivalent.
struct MedicineArbitrage {
  std::string branded_medicine_name;
  double branded_price_inr = 0;
  std::string salt_composition;
  std::string jan_aushadhi_generic_name;
  double jan_aushadhi_price_inr = 0;
  double savings_percent = 0;
};

/// A social-media post about the brand; it has no JSON form.
struct SocialPost {
  std::string author_handle;
  std::string platform;
  std::string sentiment;
  std::string text;
  double score = 0;
};

/// Appends one product as a compact JSON object, its members in declaration order.
void write_compact_object(const TrackedProduct& product, std::string& out);

/// Returns the medicines as a compact JSON array, members in declaration order.
[[nodiscard]] std::string encode_medicines_compact(const std::vector<MedicineArbitrage>& medicines);

/// Append the record as a compact JSON object with its members in byte-wise key order: the very
/// text that writing `to_json_value(record)` compactly gives, without building the value.
void write_sorted_object(const TrackedProduct& product, std::string& out);
void write_sorted_object(const ReviewIntel& review, std::string& out);
void write_sorted_object(const MedicineArbitrage& medicine, std::string& out);

/// Appends the records as a compact JSON array of sorted-member objects, in list order: the text
/// of `to_json_array(records)` written compactly.
template <typename Record>
void write_sorted_array(const std::vector<Record>& records, std::string& out) {
  json::write_array(records, out, [](const Record& record, std::string& into) {
    write_sorted_object(record, into);
  });
}

/// Formats a UTC time as RFC 3339 with a "+00:00" offset and 0, 3, 6 or 9 fraction digits, the
/// fewest that represent `nanoseconds` exactly.
[[nodiscard]] std::string format_rfc3339_utc(std::int64_t seconds_since_epoch,
                                             std::uint32_t nanoseconds);

/// Formats `micros`, microseconds since 1970 UTC (before it too), as format_rfc3339_utc does.
[[nodiscard]] std::string format_rfc3339_utc_micros(std::int64_t micros);

/// Returns the current UTC wall-clock time as RFC 3339 text.
[[nodiscard]] std::string now_rfc3339_utc();

}  // namespace qmr::engine
