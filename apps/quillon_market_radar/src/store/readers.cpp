#include "store/readers.hpp"

#include <array>
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

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t year_of_era = year - era * 400;
  const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
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

// The header's columns by their normalised names.
class Columns {
 public:
  explicit Columns(const std::vector<std::string>& header) : header_(header) {
    for (std::size_t i = 0; i < header.size(); ++i) {
      by_name_.emplace(normalise_column(header[i]), i);
    }
  }
  // Returns the position of the column named `name`, if the header has it.
  std::optional<std::size_t> find(std::string_view name) const {
    if (name.empty()) return std::nullopt;
    const auto found = by_name_.find(normalise_column(name));
    if (found == by_name_.end()) return std::nullopt;
    return found->second;
  }
  const std::string& name(std::size_t index) const { return header_[index]; }

 private:
  const std::vector<std::string>& header_;
  std::map<std::string, std::size_t> by_name_;
};

// A column of a file: its position and its name as the header wrote it.
struct Column {
  std::size_t index = 0;
  std::string name;
};

std::optional<Column> column(const Columns& columns, std::string_view name) {
  const auto index = columns.find(name);
  if (!index) return std::nullopt;
  return Column{*index, columns.name(*index)};
}

FieldIssue issue(const std::optional<Column>& at, std::string_view value, std::string reason) {
  return FieldIssue{at ? at->name : std::string(), std::string(value), std::move(reason)};
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
// field it does not have. Every column of `required` must be in the header for a file to be read
// as this kind.
struct ListingLayout {
  std::string_view kind;
  std::string_view platform;
  std::array<std::string_view, 5> required;
  std::string_view seller_sku;
  std::array<std::string_view, 2> title;  // the first present is taken
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
    {"Amazon listings",
     "Amazon.in",
     {"item-name", "seller-sku", "price", "", ""},
     "seller-sku",
     {"item-name", ""},
     "price",
     "maximum-retail-price",
     "quantity",
     "status",
     "fulfillment-channel",
     "asin1",
     "product-id",
     "product-id-type",
     "minimum-seller-allowed-price",
     "maximum-seller-allowed-price"},
    {"Flipkart listings",
     "Flipkart",
     {"Seller SKU ID", "MRP", "Your Selling Price", "Your Stock Count", "Listing Status"},
     "Seller SKU ID",
     {"Product Title", "Title"},
     "Your Selling Price",
     "MRP",
     "Your Stock Count",
     "Listing Status",
     "",
     "",
     "",
     "",
     "",
     ""},
}};

// Reads the rows of a listings file laid out as one row of LISTING_LAYOUTS.
class ListingReader final : public FileReader {
 public:
  ListingReader(const ListingLayout& layout, const Columns& columns)
      : layout_(layout),
        seller_sku_(column(columns, layout.seller_sku)),
        title_(column(columns, layout.title[0])),
        price_(column(columns, layout.price)),
        mrp_(column(columns, layout.mrp)),
        quantity_(column(columns, layout.quantity)),
        status_(column(columns, layout.status)),
        fulfillment_(column(columns, layout.fulfillment)),
        asin_(column(columns, layout.asin)),
        product_id_(column(columns, layout.product_id)),
        product_id_type_(column(columns, layout.product_id_type)),
        floor_(column(columns, layout.floor)),
        ceiling_(column(columns, layout.ceiling)) {
    if (!title_) title_ = column(columns, layout.title[1]);
  }

  RowReading read(const std::vector<std::string>& fields) const override {
    Listing listing;
    listing.platform = layout_.platform;
    listing.seller_sku = field(fields, seller_sku_);
    if (listing.seller_sku.empty()) return reject(seller_sku_, "", "the seller SKU is empty");
    listing.title = field(fields, title_);
    listing.status = field(fields, status_);
    listing.fulfillment = field(fields, fulfillment_);

    const std::string_view asin = field(fields, asin_);
    const std::string_view product_id = field(fields, product_id_);
    if (!asin.empty()) {
      if (!is_asin(asin)) return reject(asin_, asin, "not an ASIN: ten letters or digits");
      listing.sku_asin = asin;
    } else if (!product_id.empty() && field(fields, product_id_type_) == "1") {
      if (!is_asin(product_id)) {
        return reject(product_id_, product_id, "not an ASIN: ten letters or digits");
      }
      listing.sku_asin = product_id;
    } else {
      listing.sku_asin = listing.seller_sku;
    }

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
  static RowReading reject(const std::optional<Column>& at, std::string_view value,
                           std::string reason) {
    return RowReading{std::nullopt, issue(at, value, std::move(reason))};
  }

  const ListingLayout& layout_;
  std::optional<Column> seller_sku_, title_, price_, mrp_, quantity_, status_, fulfillment_, asin_,
      product_id_, product_id_type_, floor_, ceiling_;
};

// Reads our own template of competitor prices: sku_asin,platform,competitor_price_inr and the
// optional observed_at, min_price_inr and max_price_inr (our own floor and ceiling).
class CompetitorPriceReader final : public FileReader {
 public:
  explicit CompetitorPriceReader(const Columns& columns)
      : sku_asin_(column(columns, "sku_asin")),
        platform_(column(columns, "platform")),
        price_(column(columns, "competitor_price_inr")),
        observed_at_(column(columns, "observed_at")),
        floor_(column(columns, "min_price_inr")),
        ceiling_(column(columns, "max_price_inr")) {}

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
      return reject(std::move(*bad));
    }
    return RowReading{Row(std::move(price)), std::nullopt};
  }

 private:
  static RowReading reject(const std::optional<Column>& at, std::string_view value,
                           std::string reason) {
    return RowReading{std::nullopt, issue(at, value, std::move(reason))};
  }

  static RowReading reject(FieldIssue found) { return RowReading{std::nullopt, std::move(found)}; }

  std::optional<Column> sku_asin_, platform_, price_, observed_at_, floor_, ceiling_;
};

// Returns the reading of a row rejected for the value of the column `at`.
RowReading reject(const std::optional<Column>& at, std::string_view value, std::string reason) {
  return RowReading{std::nullopt, issue(at, value, std::move(reason))};
}

// Reads the Jan Aushadhi product list: Sr No, Drug Code, Generic Name, Unit Size, MRP, Group Name.
// Its quirks are data: an MRP of 0 is unknown, the unit size is a pack, surgical items are marked.
class GenericMedicineReader final : public FileReader {
 public:
  explicit GenericMedicineReader(const Columns& columns)
      : code_(column(columns, "Drug Code")),
        name_(column(columns, "Generic Name")),
        unit_size_(column(columns, "Unit Size")),
        mrp_(column(columns, "MRP")),
        group_(column(columns, "Group Name")) {}

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
      : name_(column(columns, "branded_medicine_name")),
        salt_(column(columns, "salt_composition")),
        price_(column(columns, "branded_price_inr")),
        pack_(column(columns, "pack")) {}

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

// A kind of file: its name, and its reader when the header has every column it needs.
struct FileKind {
  std::string_view name;
  std::unique_ptr<FileReader> (*make)(const Columns& columns, std::string_view name);
};

bool has_all(const Columns& columns, const std::array<std::string_view, 5>& required) {
  for (const std::string_view name : required) {
    if (!name.empty() && !columns.find(name)) return false;
  }
  return true;
}

std::unique_ptr<FileReader> make_listing_reader(const Columns& columns, std::string_view name) {
  for (const ListingLayout& layout : LISTING_LAYOUTS) {
    if (layout.kind == name && has_all(columns, layout.required)) {
      return std::make_unique<ListingReader>(layout, columns);
    }
  }
  return nullptr;
}

std::unique_ptr<FileReader> make_competitor_reader(const Columns& columns, std::string_view) {
  if (!has_all(columns, {"sku_asin", "platform", "competitor_price_inr", "", ""})) return nullptr;
  return std::make_unique<CompetitorPriceReader>(columns);
}

std::unique_ptr<FileReader> make_generic_medicine_reader(const Columns& columns, std::string_view) {
  if (!has_all(columns, {"Drug Code", "Generic Name", "Unit Size", "MRP", "Group Name"})) {
    return nullptr;
  }
  return std::make_unique<GenericMedicineReader>(columns);
}

std::unique_ptr<FileReader> make_branded_medicine_reader(const Columns& columns, std::string_view) {
  if (!has_all(columns,
               {"branded_medicine_name", "salt_composition", "branded_price_inr", "", ""})) {
    return nullptr;
  }
  return std::make_unique<BrandedMedicineReader>(columns);
}

constexpr std::array<FileKind, 5> FILE_KINDS = {{
    {"Amazon listings", make_listing_reader},
    {"Flipkart listings", make_listing_reader},
    {"competitor prices", make_competitor_reader},
    {"Jan Aushadhi list", make_generic_medicine_reader},
    {"branded prices", make_branded_medicine_reader},
}};

// The words of a Jan Aushadhi group name (lower-cased) that mark surgical items and devices.
constexpr std::array<std::string_view, 3> SURGICAL_GROUP_WORDS = {"surgical", "device",
                                                                  "consumable"};

}  // namespace

std::optional<RecognisedFile> recognise(const std::vector<std::string>& header) {
  const Columns columns(header);
  for (const FileKind& kind : FILE_KINDS) {
    if (auto reader = kind.make(columns, kind.name)) {
      return RecognisedFile{kind.name, std::move(reader)};
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

std::string normalise_column(std::string_view name) {
  std::string normal;
  for (const char c : trim(name)) {
    if (c != ' ' && c != '-' && c != '_') normal += lower(c);
  }
  return normal;
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

Result<std::int64_t> parse_observed_at(std::string_view text) {
  text = trim(text);
  std::int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!read_digits(text, 0, 4, year) || text.size() < 10 || text[4] != '-' ||
      !read_digits(text, 5, 2, month) || text[7] != '-' || !read_digits(text, 8, 2, day)) {
    return bad_time();
  }
  constexpr std::array<std::int64_t, 12> DAYS = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month < 1 || month > 12 || day < 1 || day > DAYS[static_cast<std::size_t>(month - 1)] ||
      (month == 2 && day == 29 && !leap)) {
    return Error{"not a date of the calendar"};
  }
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
  const std::int64_t seconds = days_from_civil(year, month, day) * 86400 + hour * 3600 +
                               minute * 60 + second - offset_minutes * 60;
  return seconds * 1'000'000 + micros;
}

bool is_surgical_group(std::string_view group_name) {
  std::string folded;
  for (const char c : group_name) folded += lower(c);
  for (const std::string_view word : SURGICAL_GROUP_WORDS) {
    if (folded.find(word) != std::string::npos) return true;
  }
  return false;
}

bool is_asin(std::string_view text) {
  if (text.size() != 10) return false;
  for (const char c : text) {
    if (!is_digit(c) && !is_letter(c)) return false;
  }
  return true;
}

}  // namespace qmr::store
