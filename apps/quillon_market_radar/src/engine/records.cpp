#include "engine/records.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace qmr::engine {

namespace {

// Builds one compact object: `{"key":value,...}` in the order the members are added.
class CompactObject {
 public:
  explicit CompactObject(std::string& out) : out_(out) { out_ += '{'; }
  ~CompactObject() { out_ += '}'; }
  CompactObject(const CompactObject&) = delete;
  CompactObject& operator=(const CompactObject&) = delete;

  void text(std::string_view key, std::string_view value) {
    this->key(key);
    json::write_string(value, out_);
  }
  void number(std::string_view key, double value) {
    this->key(key);
    json::write_float(value, out_);
  }
  void unsigned_number(std::string_view key, std::uint64_t value) {
    this->key(key);
    out_ += std::to_string(value);
  }
  void texts(std::string_view key, const std::vector<std::string>& values) {
    this->key(key);
    out_ += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i != 0) out_ += ',';
      json::write_string(values[i], out_);
    }
    out_ += ']';
  }

 private:
  void key(std::string_view key) {
    if (!first_) out_ += ',';
    first_ = false;
    out_ += '"';
    out_ += key;  // keys are our own identifiers and never need escaping
    out_ += "\":";
  }

  std::string& out_;
  bool first_ = true;
};

template <typename Record, typename WriteRecord>
std::string encode_array(const std::vector<Record>& records, WriteRecord write_record) {
  std::string out = "[";
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i != 0) out += ',';
    CompactObject object(out);
    write_record(object, records[i]);
  }
  out += ']';
  return out;
}

}  // namespace

std::string encode_products_compact(const std::vector<TrackedProduct>& products) {
  return encode_array(products, [](CompactObject& o, const TrackedProduct& p) {
    o.text("sku_asin", p.sku_asin);
    o.text("title", p.title);
    o.text("platform", p.platform);
    o.number("original_price_inr", p.original_price_inr);
    o.number("current_price_inr", p.current_price_inr);
    o.number("competitor_price_inr", p.competitor_price_inr);
    o.number("price_delta_percent", p.price_delta_percent);
    o.text("stock_status", p.stock_status);
    o.text("last_checked_utc", p.last_checked_utc);
  });
}

std::string encode_medicines_compact(const std::vector<MedicineArbitrage>& medicines) {
  return encode_array(medicines, [](CompactObject& o, const MedicineArbitrage& m) {
    o.text("branded_medicine_name", m.branded_medicine_name);
    o.number("branded_price_inr", m.branded_price_inr);
    o.text("salt_composition", m.salt_composition);
    o.text("jan_aushadhi_generic_name", m.jan_aushadhi_generic_name);
    o.number("jan_aushadhi_price_inr", m.jan_aushadhi_price_inr);
    o.number("savings_percent", m.savings_percent);
  });
}

// The members below come in byte-wise order of their keys, the order in which the generic
// value's map writes them; a test holds each writer to the value's own text.
void write_sorted_object(const TrackedProduct& p, std::string& out) {
  CompactObject o(out);
  o.number("competitor_price_inr", p.competitor_price_inr);
  o.number("current_price_inr", p.current_price_inr);
  o.text("last_checked_utc", p.last_checked_utc);
  o.number("original_price_inr", p.original_price_inr);
  o.text("platform", p.platform);
  o.number("price_delta_percent", p.price_delta_percent);
  o.text("sku_asin", p.sku_asin);
  o.text("stock_status", p.stock_status);
  o.text("title", p.title);
}

void write_sorted_object(const ReviewIntel& r, std::string& out) {
  CompactObject o(out);
  o.number("fake_review_ratio_percent", r.fake_review_ratio_percent);
  o.number("manufacturer_defect_score", r.manufacturer_defect_score);
  o.text("product_asin", r.product_asin);
  o.texts("top_defects", r.top_defects);
  o.unsigned_number("total_reviews_analyzed", r.total_reviews_analyzed);
}

void write_sorted_object(const MedicineArbitrage& m, std::string& out) {
  CompactObject o(out);
  o.text("branded_medicine_name", m.branded_medicine_name);
  o.number("branded_price_inr", m.branded_price_inr);
  o.text("jan_aushadhi_generic_name", m.jan_aushadhi_generic_name);
  o.number("jan_aushadhi_price_inr", m.jan_aushadhi_price_inr);
  o.text("salt_composition", m.salt_composition);
  o.number("savings_percent", m.savings_percent);
}

std::string format_rfc3339_utc(std::int64_t seconds_since_epoch, std::uint32_t nanoseconds) {
  // Civil-calendar arithmetic rather than gmtime_r, which loads the time-zone file on its first
  // call even for UTC: a file read on the start-up path of every command.
  using namespace std::chrono;
  const sys_seconds time{seconds{seconds_since_epoch}};
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  char text[64];
  const int length = std::snprintf(
      text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%09u", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
      static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
      static_cast<int>(clock.seconds().count()), nanoseconds % 1'000'000'000);
  // Of the nine fraction digits, the fewest of 0, 3, 6 or 9 that tell the time exactly are kept.
  const int cut = nanoseconds == 0               ? 10
                  : nanoseconds % 1'000'000 == 0 ? 6
                  : nanoseconds % 1'000 == 0     ? 3
                                                 : 0;
  return std::string(text, static_cast<std::size_t>(length - cut)) + "+00:00";
}

std::string now_rfc3339_utc() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return format_rfc3339_utc(now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec));
}

}  // namespace qmr::engine
