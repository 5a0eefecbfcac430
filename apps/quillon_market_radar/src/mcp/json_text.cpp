#include "mcp/json_text.hpp"

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>
#include <utility>
#include <vector>

#include "base/json_writer.hpp"

namespace qmr::mcp {

namespace {

// What hex4 returns for digits that are not four hex digits: no UTF-16 unit.
constexpr std::uint32_t NO_UNIT = 0x10000;

// Returns the four hex digits at `at` as a number, or NO_UNIT.
std::uint32_t hex4(const char* at) {
  std::uint32_t unit = 0;
  const auto [end, error] = std::from_chars(at, at + 4, unit, 16);
  return end == at + 4 && error == std::errc() ? unit : NO_UNIT;
}

// Decodes the escape that `at` points into, just after its backslash, into the UTF-8 bytes of its
// character, returns their count and moves `at` past the escape. This is the one decoder of
// escapes; the text has been checked, so a high surrogate is followed by a low one.
std::size_t decode_escape(const char*& at, std::uint8_t (&bytes)[4]) {
  const char kind = *at++;
  if (kind == 'u') {
    std::uint32_t unit = hex4(at);
    at += 4;
    if (U16_IS_LEAD(unit)) {
      unit = static_cast<std::uint32_t>(U16_GET_SUPPLEMENTARY(unit, hex4(at + 2)));
      at += 6;  // the backslash, "u" and digits of the low surrogate
    }
    std::size_t size = 0;
    U8_APPEND_UNSAFE(bytes, size, unit);
    return size;
  }
  // '"', '\\' and '/' stand for themselves.
  const std::size_t control = std::string_view("bfnrt").find(kind);
  bytes[0] =
      static_cast<std::uint8_t>(control == std::string_view::npos ? kind : "\b\f\n\r\t"[control]);
  return 1;
}

// Appends `byte` as the JSON writer writes it inside a string, `times` times over.
void append_escaped_byte(char byte, int times, std::string& out) {
  if (times == 0) {
    out += byte;
    return;
  }
  char form[6];
  const std::size_t size = json::escape_byte(static_cast<unsigned char>(byte), form);
  for (std::size_t i = 0; i != size; ++i) append_escaped_byte(form[i], times - 1, out);
}

// Returns the checked JSON string whose raw bytes start at `at`, after its opening quotation mark.
JsonString string_at(const char* at) {
  const char* end = at;
  while (*end != '"') end += *end == '\\' ? 2 : 1;
  const std::string_view raw(at, static_cast<std::size_t>(end - at));
  return JsonString(raw, raw.find('\\') != std::string_view::npos);
}

// Returns true when the checked number `text` is below 1 in magnitude, so that a conversion out
// of range is an underflow to zero rather than an overflow. Its decimal magnitude is the count of
// integer digits, or minus the zeros that open the fraction when the integer part is 0, plus the
// exponent; a range error happens only beyond 308 or below -323.
bool below_one(std::string_view text) {
  const std::size_t sign = text.front() == '-' ? 1 : 0;
  const std::size_t fraction = text.find('.');
  const std::size_t exponent = text.find_first_of("eE");
  const std::size_t integer_end = std::min({fraction, exponent, text.size()});
  std::int64_t magnitude = static_cast<std::int64_t>(integer_end - sign);
  if (text[sign] == '0' && fraction != std::string_view::npos) {
    const std::size_t first = text.find_first_not_of('0', fraction + 1);
    magnitude = -static_cast<std::int64_t>(first - fraction - 1);
  }
  if (exponent == std::string_view::npos) return magnitude <= 0;
  std::size_t at = exponent + 1;
  const bool negative = text[at] == '-';
  if (text[at] == '-' || text[at] == '+') ++at;
  constexpr std::int64_t SATURATED = std::int64_t{1} << 40;  // far past any double's exponent
  std::int64_t value = 0;
  for (; at != text.size(); ++at) value = std::min(value * 10 + (text[at] - '0'), SATURATED);
  return magnitude + (negative ? -value : value) <= 0;
}

// Reads the checked JSON number `text` as an integer of the 64-bit ranges, appending its compact
// form to `out` when given; returns false when it is no integer literal or out of those ranges.
bool read_integer(std::string_view text, std::string* out) {
  if (text.empty() || text.find_first_of(".eE") != std::string_view::npos) return false;
  const auto read = [text, out](auto integer) {
    if (std::from_chars(text.data(), text.data() + text.size(), integer).ec != std::errc()) {
      return false;
    }
    char digits[24];
    if (out) out->append(digits, std::to_chars(digits, digits + sizeof digits, integer).ptr);
    return true;
  };
  return text.front() == '-' ? read(std::int64_t{}) : read(std::uint64_t{});
}

// Reads the checked JSON number `text` as is_finite_number says the library does, converting the
// text where it stands, and appends its compact form to `out` when given; false when not finite.
bool read_number(std::string_view text, std::string* out) {
  if (read_integer(text, out)) return true;
  double number;
  if (std::from_chars(text.data(), text.data() + text.size(), number).ec ==
      std::errc::result_out_of_range) {
    if (!below_one(text)) return false;
    number = text.front() == '-' ? -0.0 : 0.0;
  }
  if (out) json::write_float(number, *out);
  return true;
}

// Writes a checked JSON value in its canonical form straight from its text (see write_canonical).
// Only the names of the objects being written are held, as offsets into the text, so an id of
// millions of members costs a fraction of its own size.
template <typename Offset>
class CanonicalWriter {
 public:
  CanonicalWriter(std::string_view text, std::string& out, const Spill& take_part, int times)
      : begin_(text.data()),
        at_(text.data()),
        end_(text.data() + text.size()),
        out_(out),
        take_part_(take_part),
        times_(times) {}

  void write() {
    const auto length = static_cast<std::size_t>(end_ - begin_);
    out_.reserve(out_.size() + (take_part_ ? std::min(length, 2 * PART_SIZE) : length));
    value();
  }

 private:
  void skip_white_space() {
    while (at_ != end_ && is_white_space(*at_)) ++at_;
  }

  void value() {
    skip_white_space();
    if (*at_ == '{') {
      object();
    } else if (*at_ == '[') {
      array();
    } else if (*at_ == '"') {
      string();
    } else {
      scalar();
    }
    if (take_part_ && out_.size() >= PART_SIZE) take_part_(out_);
  }

  // A number as the library reads it, or true, false or null. Letters, digits, brackets, braces,
  // commas and colons need no escaping however often they are written inside a string: only a
  // quotation mark, in string(), does.
  void scalar() {
    const std::string_view text = skip_scalar();
    if (text.front() == 't' || text.front() == 'f' || text.front() == 'n') {
      out_ += text;
    } else {
      read_number(text, &out_);
    }
  }

  // The brackets and commas are written as they come.
  void array() {
    out_ += *at_++;
    for (skip_white_space(); *at_ != ']'; skip_white_space()) {
      if (*at_ == ',') out_ += *at_++;
      value();
    }
    out_ += *at_++;
  }

  // Collects the offsets of the member names, sorts them by decoded name (a repeated name in the
  // order of its occurrences) and writes each name's last member. The text of a value is passed
  // over once more by each object around it, so nesting costs time, bounded by the depth limit,
  // rather than memory.
  void object() {
    // Every member takes at least five bytes (`"":0` and a comma or closing brace), so this holds
    // the names of all open objects at once and never grows; pages not written are not taken.
    if (names_.capacity() == 0) names_.reserve(static_cast<std::size_t>(end_ - begin_) / 5 + 1);
    const std::size_t first = names_.size();
    for (++at_, skip_white_space(); *at_ != '}'; skip_white_space()) {
      if (*at_ == ',') {
        ++at_;
        skip_white_space();
      }
      names_.push_back(static_cast<Offset>(at_ - begin_ + 1));
      skip_string();
      skip_white_space();
      ++at_;  // the colon
      skip_value();
    }
    const char* const after = ++at_;
    const auto names = names_.begin() + static_cast<std::ptrdiff_t>(first);
    std::sort(names, names_.end(), [this](Offset left, Offset right) {
      const int order = compare_names(left, right);
      return order != 0 ? order < 0 : left < right;
    });
    out_ += '{';
    bool written = false;
    for (std::size_t i = first; i != names_.size(); ++i) {
      if (i + 1 != names_.size() && compare_names(names_[i], names_[i + 1]) == 0) continue;
      if (std::exchange(written, true)) out_ += ',';
      at_ = begin_ + names_[i] - 1;
      string();
      out_ += ':';
      skip_white_space();
      ++at_;  // the colon
      value();
    }
    out_ += '}';
    names_.resize(first);
    at_ = after;
  }

  // Compares the decoded names at the offsets byte by byte, as the library orders the names of an
  // object, a name before every longer one it starts. Returns a negative number, zero or a
  // positive number.
  int compare_names(Offset left_offset, Offset right_offset) {
    const char* left = begin_ + left_offset;
    const char* right = begin_ + right_offset;
    // A common beginning without escapes decodes alike; most names differ within it, where the
    // closing quotation mark ends the shorter one. Only the rest of a name with an escape is
    // decoded.
    while (*left == *right && *left != '"' && *left != '\\') {
      ++left;
      ++right;
    }
    const auto byte = [](char at) { return at == '"' ? -1 : static_cast<unsigned char>(at); };
    if (*left != '\\' && *right != '\\') return byte(*left) - byte(*right);
    return string_at(left).text(left_name_).compare(string_at(right).text(right_name_));
  }

  // A long string is written a part at a time, each handed on once enough has gathered: escaped
  // once more, its quotation marks alone double it.
  void string() {
    const JsonString text = string_at(at_ + 1);
    at_ += text.raw().size() + 2;
    append_escaped_byte('"', times_ - 1, out_);
    for (std::size_t offset = 0; offset != text.raw().size();) {
      text.part(offset, PART_SIZE).append_escaped(out_, times_);
      if (take_part_ && out_.size() >= PART_SIZE) take_part_(out_);
    }
    append_escaped_byte('"', times_ - 1, out_);
  }

  void skip_string() { at_ += string_at(at_ + 1).raw().size() + 2; }

  // Moves past a number, true, false or null, and returns its text.
  std::string_view skip_scalar() {
    const char* const begin = at_;
    while (at_ != end_ && *at_ != ',' && *at_ != '}' && *at_ != ']' && !is_white_space(*at_)) {
      ++at_;
    }
    return {begin, static_cast<std::size_t>(at_ - begin)};
  }

  // Inside arrays and objects, everything but strings and brackets is passed a byte at a time.
  void skip_value() {
    skip_white_space();
    std::size_t open = 0;
    do {
      if (*at_ == '"') {
        skip_string();
      } else if (open == 0 && *at_ != '{' && *at_ != '[') {
        skip_scalar();
      } else {
        if (*at_ == '{' || *at_ == '[') ++open;
        if (*at_ == '}' || *at_ == ']') --open;
        ++at_;
      }
    } while (open != 0);
  }

  const char* begin_;
  const char* at_;
  const char* end_;
  std::string& out_;
  const Spill& take_part_;
  int times_;
  std::vector<Offset> names_;  // the names of the open objects, innermost last
  std::string left_name_;      // the decoded rest of two names compared, when they have escapes
  std::string right_name_;
};

}  // namespace

std::string_view JsonString::decoded(std::string& storage) const {
  storage.clear();
  storage.reserve(raw_.size());
  append_escaped(storage, 0);
  return storage;
}

JsonString JsonString::part(std::size_t& offset, std::size_t size) const {
  const char* const begin = raw_.data() + offset;
  const char* const end = raw_.data() + raw_.size();
  const char* at = static_cast<std::size_t>(end - begin) <= size ? end : begin;
  // An escape is taken whole, a surrogate pair's two together.
  while (at != end && static_cast<std::size_t>(at - begin) < size) {
    at += *at == '\\' ? escape_size(at, end) : 1;
  }
  // So do a character's continuation bytes.
  while (at != end && (static_cast<unsigned char>(*at) & 0xC0) == 0x80) ++at;
  offset = static_cast<std::size_t>(at - raw_.data());
  return JsonString(std::string_view(begin, static_cast<std::size_t>(at - begin)), escaped_);
}

void JsonString::append_escaped(std::string& out, int times) const {
  // In the raw bytes of a checked string only a backslash starts anything the writer escapes.
  const char* at = raw_.data();
  const char* const end = at + raw_.size();
  while (at != end) {
    const char* const run = at;
    while (at != end && *at != '\\') ++at;
    out.append(run, at);
    if (at == end) break;
    std::uint8_t bytes[4];
    const std::size_t count = decode_escape(++at, bytes);
    for (std::size_t i = 0; i != count; ++i) {
      append_escaped_byte(static_cast<char>(bytes[i]), times, out);
    }
  }
}

bool JsonString::decoded_equals(std::string_view plain) const {
  // An escape stands for at least a sixth of its bytes: a longer text is not decoded to be told.
  std::string storage;
  return raw_.size() <= 6 * plain.size() && decoded(storage) == plain;
}

std::size_t escape_size(const char* at, const char* end) {
  if (end - at < 2) return 0;
  if (at[1] != 'u') {
    return std::string_view("\"\\/bfnrt").find(at[1]) != std::string_view::npos ? 2 : 0;
  }
  const std::uint32_t unit = end - at >= 6 ? hex4(at + 2) : NO_UNIT;
  if (unit == NO_UNIT || U16_IS_TRAIL(unit)) return 0;
  if (!U16_IS_LEAD(unit)) return 6;
  const bool paired = end - at >= 12 && at[6] == '\\' && at[7] == 'u' && U16_IS_TRAIL(hex4(at + 8));
  return paired ? 12 : 0;
}

bool is_finite_number(std::string_view number) { return read_number(number, nullptr); }

bool is_integer(std::string_view value) {
  return is_short_integer(value) || (value.front() != '"' && read_integer(value, nullptr));
}

void write_canonical(std::string_view value, std::string& out, const Spill& take_part, int times) {
  // Most ids, a string without an escape or a short integer but -0, are their canonical form.
  const bool plain = value.front() == '"' ? times == 1 && value.find('\\') == std::string_view::npos
                                          : value != "-0" && is_short_integer(value);
  if (plain) {
    out += value;
    return;
  }
  if (value.size() <= std::numeric_limits<std::uint32_t>::max()) {
    CanonicalWriter<std::uint32_t>(value, out, take_part, times).write();
  } else {
    CanonicalWriter<std::size_t>(value, out, take_part, times).write();
  }
}

}  // namespace qmr::mcp
