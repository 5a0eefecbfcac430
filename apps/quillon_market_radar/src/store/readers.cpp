#include "store/readers.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <map>

namespace qmr::store {

namespace {

// The largest price taken: ₹1,000 crore, far above any listing, far below an int64 of paise.
constexpr std::int64_t MAX_PRICE_RUPEES = 10'000'000'000;
constexpr std::int64_t MAX_QUANTITY = 1'000'000'000;
// India's offset from UTC, for a date given without a time.
constexpr std::int64_t INDIA_OFFSET_MINUTES = 5 * 60 + 30;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Returns `text` without the ASCII white space and no-break spaces around it.
std::string_view trim(std::string_view text) {
  constexpr std::string_view NO_BREAK_SPACE = "\xC2\xA0";
  for (;;) {
    if (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
      text.remove_prefix(1);
    } else if (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
      text.remove_suffix(1);
    } else if (text.substr(0, 2) == NO_BREAK_SPACE) {
      text.remove_prefix(2);
    } else if (text.size() >= 2 && text.substr(text.size() - 2) == NO_BREAK_SPACE) {
      text.remove_suffix(2);
    } else {
      return text;
    }
  }
}

// Returns whether `text` begins with `prefix`, ASCII letters compared without case.
bool starts_with_folded(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (lower(text[i]) != lower(prefix[i])) return false;
  }
  return true;
}

// Returns `name` as columns are matched: ASCII letters lower-cased, spaces, hyphens and
// underscores dropped ("Seller SKU ID" and "seller_sku_id" are both "sellerskuid").
std::string normalise_column(std::string_view name) {
  std::string normal;
  for (const char c : trim(name)) {
    if (c != ' ' && c != '-' && c != '_') normal += lower(c);
  }
  return normal;
}

// Returns a count of units, none for an empty field, or why it is no count.
Result<std::optional<std::int64_t>> parse_quantity(std::string_view text) {
  text = trim(text);
  if (text.empty()) return std::optional<std::int64_t>();
  if (text.front() == '-') return Error{"a negative quantity"};
  std::int64_t value = 0;
  for (const char c : text) {
    if (!is_digit(c)) return Error{"not a whole number"};
    value = value * 10 + (c - '0');
    if (value > MAX_QUANTITY) return Error{"too large for a quantity"};
  }
  return std::optional<std::int64_t>(value);
}

// The words of a Jan Aushadhi group name (lower-cased) that mark surgical items and devices.
constexpr std::array<std::string_view, 3> SURGICAL_GROUP_WORDS = {"surgical", "device",
                                                                  "consumable"};

// Returns whether a Jan Aushadhi list's `group_name` marks surgical items rather than medicines.
bool is_surgical_group(std::string_view group_name) {
  std::string folded;
  for (const char c : group_name) folded += lower(c);
  for (const std::string_view word : SURGICAL_GROUP_WORDS) {
    if (folded.find(word) != std::string::npos) return true;
  }
  return false;
}

// Returns whether `text` is an ASIN: ten ASCII letters or digits.
bool is_asin(std::string_view text) {
  if (text.size() != 10) return false;
  for (const char c : text) {
    if (!is_digit(c) && !is_letter(c)) return false;
  }
  return true;
}

// Returns whether the comma-separated groups of digits of `whole` follow Western grouping
// (1,299,999) or Indian grouping (12,99,999): a first group of one to three digits (one or two
// for Indian), then groups of three, or of two ending in one of three.
bool well_grouped(std::string_view whole) {
  const std::size_t first_comma = whole.find(',');
  if (first_comma == std::string_view::npos) return true;
  const std::size_t last_comma = whole.rfind(',');
  if (first_comma == 0 || first_comma > 3 || whole.size() - last_comma - 1 != 3) return false;
  bool western = true;
  bool indian = first_comma <= 2;
  for (std::size_t comma = first_comma; comma != last_comma;) {
    const std::size_t next = whole.find(',', comma + 1);
    western = western && next - comma - 1 == 3;
    indian = indian && next - comma - 1 == 2;
    comma = next;
  }
  return western || indian;
}

// Reads `count` digits at `text[at]` into `value`; false when they are not all digits.
bool read_digits(std::string_view text, std::size_t at, std::size_t count, std::int64_t& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!is_digit(text[i])) return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

Error bad_time() {
  return Error{"not a time: RFC 3339 (2026-12-10T09:30:00+05:30) or a date (2026-12-10)"};
}

// The platforms a row may name, each with the spellings taken for it (as normalise_platform
// leaves them).
struct Platform {
  std::string_view name;
  std::array<std::string_view, 2> spellings;
};
constexpr std::array<Platform, 2> PLATFORMS = {{
    {"Amazon.in", {"amazonin", "amazon"}},
    {"Flipkart", {"flipkart", "flipkartcom"}},
}};

std::optional<std::string_view> platform_named(std::string_view text) {
  std::string folded;
  for (const char c : text) {
    if (is_letter(c) || is_digit(c)) folded += lower(c);
  }
  for (const Platform& platform : PLATFORMS) {
    for (const std::string_view spelling : platform.spellings) {
      if (folded == spelling) return platform.name;
    }
  }
  return std::nullopt;
}

// A column of a file: its position and its name as the header wrote it.
struct Column {
  std::size_t index = 0;
  std::string name;
};

// The header's columns by their normalised names.
class Columns {
 public:
  explicit Columns(const std::vector<std::string>& header) {
    for (std::size_t i = 0; i < header.size(); ++i) {
      by_name_.emplace(normalise_column(header[i]), Column{i, header[i]});
    }
  }
  // Returns the column named `name`, if the header has it.
  std::optional<Column> find(std::string_view name) const {
    if (name.empty()) return std::nullopt;
    const auto found = by_name_.find(normalise_column(name));
    if (found == by_name_.end()) return std::nullopt;
    return found->second;
  }

 private:
  std::map<std::string, Column> by_name_;
};

FieldIssue issue(const std::optional<Column>& at, std::string_view value, std::string reason) {
  return FieldIssue{at ? at->name : std::string(), std::string(value), std::move(reason)};
}

// Returns the reading of a row rejected for the value of the column `at`.
RowReading reject(const std::optional<Column>& at, std::string_view value, std::string reason) {
  return RowReading{std::nullopt, issue(at, value, std::move(reason))};
}

std::string_view field(const std::vector<std::string>& fields, const std::optional<Column>& at) {
  return at ? trim(fields[at->index]) : std::string_view();
}

std::string rupees(std::int64_t paise) {
  const std::int64_t cents = paise % 100;
  return std::to_string(paise / 100) + (cents < 10 ? ".0" : ".") + std::to_string(cents);
}

// Reads the seller's floor and ceiling of a row into `floor` and `ceiling`, either column absent
// or empty leaving its limit as it was, a 0 meaning none; returns why a row is rejected: a value
// that is no price, or a floor above the ceiling.
std::optional<FieldIssue> read_limits(const std::vector<std::string>& fields,
                                      const std::optional<Column>& floor_at,
                                      const std::optional<Column>& ceiling_at,
                                      std::optional<std::int64_t>& floor,
                                      std::optional<std::int64_t>& ceiling) {
  for (const auto& [at, limit] : {std::pair{&floor_at, &floor}, std::pair{&ceiling_at, &ceiling}}) {
    const std::string_view text = field(fields, *at);
    auto paise = parse_price_paise(text);
    if (!paise.ok()) return issue(*at, text, paise.error().message);
    if (paise.value() && *paise.value() != 0) *limit = paise.value();
  }
  if (floor && ceiling && *floor > *ceiling) {
    return issue(floor_at, field(fields, floor_at),
                 "the lowest allowed price is above the highest, " + rupees(*ceiling));
  }
  return std::nullopt;
}

// Where a listings file keeps each field: the column names of one marketplace's report, "" for a
// field it does not have (the columns it must have are in its row of FILE_KINDS).
struct ListingLayout {
  std::string_view platform;
  std::string_view seller_sku;
  std::string_view title;
  std::string_view other_title;  // taken when `title` is not there
  std::string_view price;
  std::string_view mrp;
  std::string_view quantity;
  std::string_view status;
  std::string_view fulfillment;
  std::string_view asin;        // an ASIN column
  std::string_view product_id;  // an identifier column, an ASIN where its type column says 1
  std::string_view product_id_type;
  std::string_view floor;    // the lowest price the seller allows
  std::string_view ceiling;  // the highest
};

constexpr std::array<ListingLayout, 2> LISTING_LAYOUTS = {{
    {"Amazon.in", "seller-sku", "item-name", "", "price", "maximum-retail-price", "quantity",
     "status", "fulfillment-channel", "asin1", "product-id", "product-id-type",
     "minimum-seller-allowed-price", "maximum-seller-allowed-price"},
    {"Flipkart", "Seller SKU ID", "Product Title", "Title", "Your Selling Price", "MRP",
     "Your Stock Count", "Listing Status", "", "", "", "", "", ""},
}};

// Reads the rows of a listings file laid out as one row of LISTING_LAYOUTS.
class ListingReader final : public FileReader {
 public:
  ListingReader(const ListingLayout& layout, const Columns& columns)
      : layout_(layout),
        seller_sku_(columns.find(layout.seller_sku)),
        title_(columns.find(layout.title)),
        price_(columns.find(layout.price)),
        mrp_(columns.find(layout.mrp)),
        quantity_(columns.find(layout.quantity)),
        status_(columns.find(layout.status)),
        fulfillment_(columns.find(layout.fulfillment)),
        asin_(columns.find(layout.asin)),
        product_id_(columns.find(layout.product_id)),
        product_id_type_(columns.find(layout.product_id_type)),
        floor_(columns.find(layout.floor)),
        ceiling_(columns.find(layout.ceiling)) {
    if (!title_) title_ = columns.find(layout.other_title);
  }

  RowReading read(const std::vector<std::string>& fields) const override {
    Listing listing;
    listing.platform = layout_.platform;
    listing.seller_sku = field(fields, seller_sku_);
    if (listing.seller_sku.empty()) return reject(seller_sku_, "", "the seller SKU is empty");
    listing.title = field(fields, title_);
    listing.status = field(fields, status_);
    listing.fulfillment = field(fields, fulfillment_);

    // The identifier: the ASIN, else the product ID where its type says it is one, else the SKU.
    std::string_view id = field(fields, asin_);
    const std::optional<Column>& id_at = id.empty() ? product_id_ : asin_;
    if (id.empty() && field(fields, product_id_type_) == "1") id = field(fields, product_id_);
    if (!id.empty() && !is_asin(id)) return reject(id_at, id, "not an ASIN: ten letters or digits");
    listing.sku_asin = id.empty() ? std::string_view(listing.seller_sku) : id;

    const std::string_view price = field(fields, price_);
    auto price_paise = parse_price_paise(price);
    if (!price_paise.ok()) return reject(price_, price, price_paise.error().message);
    listing.price_paise = price_paise.value();
    const std::string_view mrp = field(fields, mrp_);
    auto mrp_paise = parse_price_paise(mrp);
    if (!mrp_paise.ok()) return reject(mrp_, mrp, mrp_paise.error().message);
    // An MRP of 0 is how the marketplaces' files say they do not know it.
    if (mrp_paise.value() != 0) listing.mrp_paise = mrp_paise.value();
    if (listing.price_paise == 0) return reject(price_, price, "a selling price of 0");
    const std::string_view quantity = field(fields, quantity_);
    auto units = parse_quantity(quantity);
    if (!units.ok()) return reject(quantity_, quantity, units.error().message);
    listing.quantity = units.value();
    if (auto bad =
            read_limits(fields, floor_, ceiling_, listing.floor_paise, listing.ceiling_paise)) {
      return RowReading{std::nullopt, std::move(bad)};
    }

    RowReading reading;
    if (listing.price_paise && listing.mrp_paise && *listing.price_paise > *listing.mrp_paise) {
      reading.issue = issue(price_, price,
                            "the selling price is above the MRP of " + rupees(*listing.mrp_paise));
    }
    reading.row = std::move(listing);
    return reading;
  }

 private:
  const ListingLayout& layout_;
  std::optional<Column> seller_sku_, title_, price_, mrp_, quantity_, status_, fulfillment_, asin_,
      product_id_, product_id_type_, floor_, ceiling_;
};

// Reads our own template of competitor prices: sku_asin,platform,competitor_price_inr and the
// optional observed_at, min_price_inr and max_price_inr (our own floor and ceiling).
class CompetitorPriceReader final : public FileReader {
 public:
  explicit CompetitorPriceReader(const Columns& columns)
      : sku_asin_(columns.find("sku_asin")),
        platform_(columns.find("platform")),
        price_(columns.find("competitor_price_inr")),
        observed_at_(columns.find("observed_at")),
        floor_(columns.find("min_price_inr")),
        ceiling_(columns.find("max_price_inr")) {}

  RowReading read(const std::vector<std::string>& fields) const override {
    CompetitorPrice price;
    price.sku_asin = field(fields, sku_asin_);
    if (price.sku_asin.empty()) return reject(sku_asin_, "", "the identifier is empty");
    const std::string_view platform_text = field(fields, platform_);
    const auto platform = platform_named(platform_text);
    if (!platform) {
      return reject(platform_, platform_text,
                    "not a platform this program knows (" + std::string(PLATFORMS[0].name) + ", " +
                        std::string(PLATFORMS[1].name) + ")");
    }
    price.platform = *platform;
    const std::string_view price_text = field(fields, price_);
    auto paise = parse_price_paise(price_text);
    if (!paise.ok()) return reject(price_, price_text, paise.error().message);
    if (!paise.value()) return reject(price_, price_text, "the price is empty");
    if (*paise.value() == 0) return reject(price_, price_text, "a price of 0");
    price.price_paise = *paise.value();
    const std::string_view observed = field(fields, observed_at_);
    if (!observed.empty()) {
      auto time = parse_observed_at(observed);
      if (!time.ok()) return reject(observed_at_, observed, time.error().message);
      price.observed_at = time.value();
    }
    if (auto bad = read_limits(fields, floor_, ceiling_, price.floor_paise, price.ceiling_paise)) {
      return RowReading{std::nullopt, std::move(bad)};
    }
    return RowReading{Row(std::move(price)), std::nullopt};
  }

 private:
  std::optional<Column> sku_asin_, platform_, price_, observed_at_, floor_, ceiling_;
};

// Reads the Jan Aushadhi product list: Sr No, Drug Code, Generic Name, Unit Size, MRP, Group Name.
// Its quirks are data: an MRP of 0 is unknown, the unit size is a pack, surgical items are marked.
class GenericMedicineReader final : public FileReader {
 public:
  explicit GenericMedicineReader(const Columns& columns)
      : code_(columns.find("Drug Code")),
        name_(columns.find("Generic Name")),
        unit_size_(columns.find("Unit Size")),
        mrp_(columns.find("MRP")),
        group_(columns.find("Group Name")) {}

  RowReading read(const std::vector<std::string>& fields) const override {
    GenericMedicine medicine;
    medicine.drug_code = field(fields, code_);
    if (medicine.drug_code.empty()) return reject(code_, "", "the drug code is empty");
    medicine.generic_name = field(fields, name_);
    if (medicine.generic_name.empty()) return reject(name_, "", "the generic name is empty");
    medicine.unit_size = field(fields, unit_size_);
    const std::string_view mrp = field(fields, mrp_);
    auto paise = parse_price_paise(mrp);
    if (!paise.ok()) return reject(mrp_, mrp, paise.error().message);
    // The list writes 0 (or nothing) where it does not know the price.
    if (paise.value().value_or(0) != 0) medicine.mrp_paise = paise.value();
    medicine.group_name = field(fields, group_);
    medicine.surgical = is_surgical_group(medicine.group_name);
    return RowReading{Row(std::move(medicine)), std::nullopt};
  }

 private:
  std::optional<Column> code_, name_, unit_size_, mrp_, group_;
};

// Reads our own template of branded prices: branded_medicine_name, salt_composition,
// branded_price_inr and an optional pack.
class BrandedMedicineReader final : public FileReader {
 public:
  explicit BrandedMedicineReader(const Columns& columns)
      : name_(columns.find("branded_medicine_name")),
        salt_(columns.find("salt_composition")),
        price_(columns.find("branded_price_inr")),
        pack_(columns.find("pack")) {}

  RowReading read(const std::vector<std::string>& fields) const override {
    BrandedMedicine medicine;
    medicine.name = field(fields, name_);
    if (medicine.name.empty()) return reject(name_, "", "the medicine's name is empty");
    medicine.salt_composition = field(fields, salt_);
    if (medicine.salt_composition.empty()) {
      return reject(salt_, "", "the salt composition is empty");
    }
    const std::string_view price_text = field(fields, price_);
    auto paise = parse_price_paise(price_text);
    if (!paise.ok()) return reject(price_, price_text, paise.error().message);
    if (!paise.value()) return reject(price_, price_text, "the price is empty");
    if (*paise.value() == 0) return reject(price_, price_text, "a price of 0");
    medicine.price_paise = *paise.value();
    medicine.pack = field(fields, pack_);
    return RowReading{Row(std::move(medicine)), std::nullopt};
  }

 private:
  std::optional<Column> name_, salt_, price_, pack_;
};

template <class Reader>
std::unique_ptr<FileReader> make_reader(const Columns& columns) {
  return std::make_unique<Reader>(columns);
}

template <std::size_t LAYOUT>
std::unique_ptr<FileReader> make_listing_reader(const Columns& columns) {
  return std::make_unique<ListingReader>(LISTING_LAYOUTS[LAYOUT], columns);
}

// A kind of file: its name, the columns its header must have ("" for none), and its reader.
struct FileKind {
  std::string_view name;
  std::array<std::string_view, 5> required;
  std::unique_ptr<FileReader> (*make)(const Columns& columns);
};

constexpr std::array<FileKind, 5> FILE_KINDS = {{
    {"Amazon listings", {"item-name", "seller-sku", "price", "", ""}, make_listing_reader<0>},
    {"Flipkart listings",
     {"Seller SKU ID", "MRP", "Your Selling Price", "Your Stock Count", "Listing Status"},
     make_listing_reader<1>},
    {"competitor prices",
     {"sku_asin", "platform", "competitor_price_inr", "", ""},
     make_reader<CompetitorPriceReader>},
    {"Jan Aushadhi list",
     {"Drug Code", "Generic Name", "Unit Size", "MRP", "Group Name"},
     make_reader<GenericMedicineReader>},
    {"branded prices",
     {"branded_medicine_name", "salt_composition", "branded_price_inr", "", ""},
     make_reader<BrandedMedicineReader>},
}};

}  // namespace

std::optional<RecognisedFile> recognise(const std::vector<std::string>& header) {
  const Columns columns(header);
  for (const FileKind& kind : FILE_KINDS) {
    if (std::ranges::all_of(kind.required, [&](std::string_view name) {
          return name.empty() || columns.find(name);
        })) {
      return RecognisedFile{kind.name, kind.make(columns)};
    }
  }
  return std::nullopt;
}

std::string known_kinds() {
  std::string names;
  for (const FileKind& kind : FILE_KINDS) {
    if (!names.empty()) names += ", ";
    names += kind.name;
  }
  return names;
}

Result<std::optional<std::int64_t>> parse_price_paise(std::string_view text) {
  text = trim(text);
  if (text.empty()) return std::optional<std::int64_t>();
  for (const std::string_view currency : {"\u20B9", "Rs.", "Rs", "INR"}) {
    if (starts_with_folded(text, currency)) {
      text = trim(text.substr(currency.size()));
      break;
    }
  }
  if (text.empty()) return Error{"a currency without a number"};
  if (text.front() == '-' || text.front() == '(' || text.substr(0, 3) == "\u2212") {
    return Error{"a negative price"};
  }
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view decimals =
      point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  bool digits = !whole.empty();
  for (const char c : whole) digits = digits && (is_digit(c) || c == ',');
  for (const char c : decimals) digits = digits && is_digit(c);
  if (!digits) return Error{"not a price"};
  if (decimals.size() > 2) return Error{"more than two decimals"};
  if (!well_grouped(whole)) return Error{"a misplaced thousands separator"};
  std::int64_t rupees_value = 0;
  for (const char c : whole) {
    if (c == ',') continue;
    rupees_value = rupees_value * 10 + (c - '0');
    if (rupees_value > MAX_PRICE_RUPEES) return Error{"too large for a price"};
  }
  std::int64_t paise = 0;
  for (std::size_t i = 0; i < 2; ++i) {
    paise = paise * 10 + (i < decimals.size() ? decimals[i] - '0' : 0);
  }
  return std::optional<std::int64_t>(rupees_value * 100 + paise);
}

Result<std::int64_t> parse_observed_at(std::string_view text) {
  text = trim(text);
  std::int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!read_digits(text, 0, 4, year) || text.size() < 10 || text[4] != '-' ||
      !read_digits(text, 5, 2, month) || text[7] != '-' || !read_digits(text, 8, 2, day)) {
    return bad_time();
  }
  const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(year)),
                                         std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return Error{"not a date of the calendar"};
  std::int64_t micros = 0;
  std::int64_t offset_minutes = INDIA_OFFSET_MINUTES;
  if (text.size() > 10) {
    const char separator = text[10];
    if ((separator != 'T' && separator != 't' && separator != ' ') ||
        !read_digits(text, 11, 2, hour) || text.size() < 19 || text[13] != ':' ||
        !read_digits(text, 14, 2, minute) || text[16] != ':' || !read_digits(text, 17, 2, second)) {
      return bad_time();
    }
    if (hour > 23 || minute > 59 || second > 59) return Error{"not a time of the day"};
    std::size_t at = 19;
    if (at < text.size() && text[at] == '.') {
      std::int64_t scale = 100000;
      ++at;
      const std::size_t first = at;
      for (; at < text.size() && is_digit(text[at]); ++at) {
        micros += (text[at] - '0') * scale;
        scale /= 10;
      }
      if (at == first) return bad_time();
    }
    const std::string_view zone = text.substr(at);
    std::int64_t zone_hours = 0, zone_minutes = 0;
    if (zone == "Z" || zone == "z") {
      offset_minutes = 0;
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') &&
               read_digits(zone, 1, 2, zone_hours) && zone[3] == ':' &&
               read_digits(zone, 4, 2, zone_minutes) && zone_hours < 24 && zone_minutes < 60) {
      offset_minutes = (zone[0] == '-' ? -1 : 1) * (zone_hours * 60 + zone_minutes);
    } else {
      return bad_time();
    }
  }
  const std::int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
  const std::int64_t seconds =
      days * 86400 + hour * 3600 + minute * 60 + second - offset_minutes * 60;
  return seconds * 1'000'000 + micros;
}

}  // namespace qmr::store
