#include "engine/records.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <numeric>
#include <tuple>
#include <utility>

namespace qmr::engine {

namespace {

// Appends a member's value: a text as a JSON string, a figure as write_float writes it (null when
// empty), a count as an integer, a list of texts as an array of strings.
void write_value(std::string_view text, std::string& out) { json::write_string(text, out); }
void write_value(double figure, std::string& out) { json::write_float(figure, out); }
void write_value(const std::optional<double>& figure, std::string& out) {
  if (figure) return json::write_float(*figure, out);
  out += "null";
}
void write_value(std::uint64_t count, std::string& out) { out += std::to_string(count); }
void write_value(const std::vector<std::string>& texts, std::string& out) {
  json::write_array(texts, out, json::write_string);
}

// A member of a record: its key and where the record holds it.
template <typename Record, typename Member>
struct Field {
  std::string_view key;
  Member Record::*member;
};
// Written out for clang 14 (the fuzz targets' compiler), which deduces no aggregate's arguments.
template <typename Record, typename Member>
Field(std::string_view, Member Record::*) -> Field<Record, Member>;

// The members of each record with a JSON form, in declaration order: the one list of their keys.
constexpr std::tuple PRODUCT_FIELDS{
    Field{"sku_asin", &TrackedProduct::sku_asin},
    Field{"title", &TrackedProduct::title},
    Field{"platform", &TrackedProduct::platform},
    Field{"original_price_inr", &TrackedProduct::original_price_inr},
    Field{"current_price_inr", &TrackedProduct::current_price_inr},
    Field{"competitor_price_inr", &TrackedProduct::competitor_price_inr},
    Field{"price_delta_percent", &TrackedProduct::price_delta_percent},
    Field{"stock_status", &TrackedProduct::stock_status},
    Field{"last_checked_utc", &TrackedProduct::last_checked_utc}};
constexpr std::tuple REVIEW_FIELDS{
    Field{"product_asin", &ReviewIntel::product_asin},
    Field{"total_reviews_analyzed", &ReviewIntel::total_reviews_analyzed},
    Field{"fake_review_ratio_percent", &ReviewIntel::fake_review_ratio_percent},
    Field{"top_defects", &ReviewIntel::top_defects},
    Field{"manufacturer_defect_score", &ReviewIntel::manufacturer_defect_score}};
constexpr std::tuple MEDICINE_FIELDS{
    Field{"branded_medicine_name", &MedicineArbitrage::branded_medicine_name},
    Field{"branded_price_inr", &MedicineArbitrage::branded_price_inr},
    Field{"salt_composition", &MedicineArbitrage::salt_composition},
    Field{"jan_aushadhi_generic_name", &MedicineArbitrage::jan_aushadhi_generic_name},
    Field{"jan_aushadhi_price_inr", &MedicineArbitrage::jan_aushadhi_price_inr},
    Field{"savings_percent", &MedicineArbitrage::savings_percent}};

// Returns the positions of `fields` in declaration order, or when `sorted` in byte-wise order of
// their keys, the order in which the generic value's map writes its members.
template <typename... Fields>
constexpr auto member_order(const std::tuple<Fields...>& fields, bool sorted) {
  const auto keys =
      std::apply([](const auto&... field) { return std::array{field.key...}; }, fields);
  std::array<std::size_t, sizeof...(Fields)> order{};
  std::iota(order.begin(), order.end(), 0);
  if (sorted)
    std::sort(order.begin(), order.end(), [&](auto a, auto b) { return keys[a] < keys[b]; });
  return order;
}
template <const auto& FIELDS, bool SORTED>
constexpr auto MEMBER_ORDER = member_order(FIELDS, SORTED);

// Writes `record` as one compact object of the members FIELDS lists, in declaration order or
// sorted. The keys are our own identifiers and never need escaping.
template <const auto& FIELDS, bool SORTED, typename Record>
void write_object(const Record& record, std::string& out) {
  constexpr auto& order = MEMBER_ORDER<FIELDS, SORTED>;
  const auto member = [&](bool first, std::string_view key, const auto& value) {
    out += first ? "{\"" : ",\"";
    out += key;
    out += "\":";
    write_value(value, out);
  };
  const auto members = [&]<std::size_t... I>(std::index_sequence<I...>) {
    (member(I == 0, std::get<order[I]>(FIELDS).key, record.*std::get<order[I]>(FIELDS).member),
     ...);
  };
  members(std::make_index_sequence<order.size()>());
  out += '}';
}

}  // namespace

std::optional<double> price_gap(const TrackedProduct& product) {
  // Without a competitor's price (or a delta that is no number) the gap is unknown.
  if (!product.competitor_price_inr || !product.price_delta_percent ||
      std::isnan(*product.price_delta_percent)) {
    return std::nullopt;
  }
  return std::abs(*product.price_delta_percent);
}

void write_compact_object(const TrackedProduct& product, std::string& out) {
  write_object<PRODUCT_FIELDS, false>(product, out);
}

std::string encode_medicines_compact(const std::vector<MedicineArbitrage>& medicines) {
  std::string out;
  json::write_array(medicines, out, write_object<MEDICINE_FIELDS, false, MedicineArbitrage>);
  return out;
}

// A test holds each writer to the generic value's own text.
void write_sorted_object(const TrackedProduct& p, std::string& out) {
  write_object<PRODUCT_FIELDS, true>(p, out);
}

void write_sorted_object(const ReviewIntel& r, std::string& out) {
  write_object<REVIEW_FIELDS, true>(r, out);
}

void write_sorted_object(const MedicineArbitrage& m, std::string& out) {
  write_object<MEDICINE_FIELDS, true>(m, out);
}

std::string format_rfc3339_utc(std::int64_t seconds_since_epoch, std::uint32_t nanoseconds) {
  // Civil-calendar arithmetic rather than gmtime_r, which loads the time-zone file on its first
  // call even for UTC: a file read on the start-up path of every command.
  using namespace std::chrono;
  const sys_seconds time{seconds{seconds_since_epoch}};
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  // Of the nine fraction digits, the fewest of 0, 3, 6 or 9 that tell the time exactly are kept.
  const std::size_t cut = nanoseconds == 0               ? 10
                          : nanoseconds % 1'000'000 == 0 ? 6
                          : nanoseconds % 1'000 == 0     ? 3
                                                         : 0;
  // Digit by digit rather than by printf: this runs once per record of a store's snapshot.
  std::string text = "0000-00-00T00:00:00.000000000+00:00";
  const auto put = [&text](std::size_t end, std::uint64_t value, std::size_t digits) {
    for (std::size_t i = 1; i <= digits; ++i, value /= 10) {
      text[end - i] = static_cast<char>('0' + value % 10);
    }
  };
  put(7, static_cast<unsigned>(date.month()), 2);
  put(10, static_cast<unsigned>(date.day()), 2);
  put(13, static_cast<std::uint64_t>(clock.hours().count()), 2);
  put(16, static_cast<std::uint64_t>(clock.minutes().count()), 2);
  put(19, static_cast<std::uint64_t>(clock.seconds().count()), 2);
  put(29, nanoseconds % 1'000'000'000, 9);
  text.erase(29 - cut, cut);
  const int year = static_cast<int>(date.year());
  if (year >= 0 && year <= 9999) {
    put(4, static_cast<std::uint64_t>(year), 4);
  } else {
    // Beyond four digits, as printf writes them.
    char digits[16];
    const int length = std::snprintf(digits, sizeof digits, "%04d", year);
    text.replace(0, 4, digits, static_cast<std::size_t>(length));
  }
  return text;
}

std::string format_rfc3339_utc_micros(std::int64_t micros) {
  // Seconds rounded down, so that the fraction is never negative.
  const std::chrono::microseconds time(micros);
  const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
  return format_rfc3339_utc(seconds.count(),
                            static_cast<std::uint32_t>((time - seconds).count()) * 1000);
}

std::string now_rfc3339_utc() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return format_rfc3339_utc(now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec));
}

}  // namespace qmr::engine
