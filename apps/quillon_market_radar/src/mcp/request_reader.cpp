// The request reader in three parts: the byte-level pieces (the eight-bytes-at-a-time search of a
// string, the one decoder of escapes, numbers read where they stand), the compact writer of a
// checked value (an id written back as the JSON writer writes its parsed value), and the Reader,
// which checks a whole line against the grammar and keeps the request's fields as views.
#include "mcp/request_reader.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>
#include <vector>

#include "base/json_writer.hpp"
#include "base/text.hpp"

namespace qmr::mcp {

namespace {

// A number without an exponent whose integer part has at most this many digits is below 1e308,
// so whichever kind the library reads it as, it is finite.
constexpr std::size_t MAX_SURELY_FINITE_DIGITS = 308;

constexpr std::uint64_t LOW_BITS = 0x0101010101010101;
constexpr std::uint64_t HIGH_BITS = 0x8080808080808080;

// Flags the top bit of each byte of `word` below `limit` (at most 0x80). A byte above a flagged
// one may be flagged falsely, but the lowest flagged byte is always a true one.
constexpr std::uint64_t has_byte_below(std::uint64_t word, std::uint8_t limit) {
  return (word - LOW_BITS * limit) & ~word & HIGH_BITS;
}

// Flags the top bit of each byte of `word` equal to `byte`, with the same caveat.
constexpr std::uint64_t has_byte(std::uint64_t word, char byte) {
  return has_byte_below(word ^ (LOW_BITS * static_cast<std::uint8_t>(byte)), 1);
}

// Returns the first quotation mark, backslash or control character from `at` on, or `end`; the
// bytes passed over are or-ed into `high_bits`, whose top bits then tell whether any of them is
// not ASCII. Eight bytes at a time: strings are most of a request line.
[[gnu::always_inline]] inline const char* find_string_stop(const char* at, const char* end,
                                                           std::uint64_t& high_bits) {
  while (end - at >= 8) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    const std::uint64_t stops =
        has_byte_below(word, 0x20) | has_byte(word, '"') | has_byte(word, '\\');
    if (stops == 0) {
      high_bits |= word;
      at += 8;
      continue;
    }
    const int stop = std::countr_zero(stops) / 8;
    if (stop != 0) high_bits |= word & (~std::uint64_t{0} >> (64 - 8 * stop));
    return at + stop;
  }
  for (; at != end; ++at) {
    const auto byte = static_cast<unsigned char>(*at);
    if (byte == '"' || byte == '\\' || byte < 0x20) break;
    high_bits |= byte;
  }
  return at;
}

bool is_digit(char byte) { return byte >= '0' && byte <= '9'; }

bool is_white_space(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

int hex_value(char byte) {
  if (byte >= '0' && byte <= '9') return byte - '0';
  if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
  if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
  return -1;
}

// Writes the UTF-8 form of `code_point` to `bytes` and returns its length.
std::size_t encode_utf8(std::uint32_t code_point, char (&bytes)[4]) {
  if (code_point < 0x80) {
    bytes[0] = static_cast<char>(code_point);
    return 1;
  }
  if (code_point < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (code_point >> 6));
    bytes[1] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 2;
  }
  if (code_point < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (code_point >> 12));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<char>(0xF0 | (code_point >> 18));
  bytes[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
  bytes[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
  bytes[3] = static_cast<char>(0x80 | (code_point & 0x3F));
  return 4;
}

// Decodes the escape that `at` points into, just after its backslash, into the UTF-8 bytes of its
// character, returns their count and moves `at` past the escape. This is the one decoder of
// escapes; the text has been checked, so a high surrogate is followed by a low one.
std::size_t decode_escape(const char*& at, char (&bytes)[4]) {
  const auto hex4 = [&at] {
    std::uint32_t unit = 0;
    for (int i = 0; i < 4; ++i) unit = unit * 16 + static_cast<std::uint32_t>(hex_value(*at++));
    return unit;
  };
  char simple;
  switch (*at++) {
    case 'b':
      simple = '\b';
      break;
    case 'f':
      simple = '\f';
      break;
    case 'n':
      simple = '\n';
      break;
    case 'r':
      simple = '\r';
      break;
    case 't':
      simple = '\t';
      break;
    case 'u': {
      std::uint32_t unit = hex4();
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        at += 2;  // the backslash and "u" of the low surrogate
        unit = 0x10000 + ((unit - 0xD800) << 10) + (hex4() - 0xDC00);
      }
      return encode_utf8(unit, bytes);
    }
    default:  // '"', '\\' and '/' stand for themselves
      simple = at[-1];
  }
  bytes[0] = simple;
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

// The bytes of the text of a checked JSON string, escapes decoded, one at a time.
class DecodedBytes {
 public:
  // `at` points just after the opening quotation mark.
  explicit DecodedBytes(const char* at) : at_(at) {}

  // Returns the next byte (0 to 255), or -1 after the last.
  int next() {
    if (held_ == count_) {
      if (*at_ == '"') return -1;
      if (*at_ != '\\') return static_cast<unsigned char>(*at_++);
      ++at_;
      count_ = decode_escape(at_, bytes_);
      held_ = 0;
    }
    return static_cast<unsigned char>(bytes_[held_++]);
  }

 private:
  const char* at_;
  char bytes_[4] = {};
  std::size_t held_ = 0;
  std::size_t count_ = 0;
};

// Compares the decoded texts of two checked JSON strings byte by byte, as the library orders the
// names of an object, a name before every longer one it starts. Both point just after their
// opening quotation marks. Returns a negative number, zero or a positive number.
int compare_texts(const char* left, const char* right) {
  // A common beginning without escapes decodes alike; most names differ within it.
  while (*left == *right && *left != '"' && *left != '\\') {
    ++left;
    ++right;
  }
  DecodedBytes left_bytes(left);
  DecodedBytes right_bytes(right);
  while (true) {
    const int left_byte = left_bytes.next();
    const int right_byte = right_bytes.next();
    if (left_byte != right_byte) return left_byte < right_byte ? -1 : 1;
    if (left_byte < 0) return 0;
  }
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

// Reads the checked JSON number `text` as the library does, an integer of the 64-bit ranges
// exactly and any other number as the nearest double, converting the text where it stands, and
// appends its compact form to `out` when given. Returns false when the double is not finite.
bool read_number(std::string_view text, std::string* out) {
  const char* const first = text.data();
  const char* const last = first + text.size();
  if (text.find_first_of(".eE") == std::string_view::npos) {
    char digits[24];
    std::to_chars_result written{};
    if (text.front() == '-') {
      std::int64_t integer;
      if (std::from_chars(first, last, integer).ec == std::errc()) {
        written = std::to_chars(digits, digits + sizeof digits, integer);
      }
    } else {
      std::uint64_t integer;
      if (std::from_chars(first, last, integer).ec == std::errc()) {
        written = std::to_chars(digits, digits + sizeof digits, integer);
      }
    }
    if (written.ptr != nullptr) {
      if (out) out->append(digits, written.ptr);
      return true;
    }
  }
  double number;
  if (std::from_chars(first, last, number).ec == std::errc::result_out_of_range) {
    if (!below_one(text)) return false;
    number = text.front() == '-' ? -0.0 : 0.0;
  }
  if (out) json::write_float(number, *out);
  return true;
}

// Writes a checked JSON value in the compact form the JSON writer gives its parsed value, straight
// from its text: objects with their members in byte-wise order of their decoded names, the last
// of a repeated name winning; strings escaped again as the writer escapes; numbers as the library
// reads them. Only the names of the objects being written are held, as offsets into the text, so
// an id of millions of members costs a fraction of its own size.
//
// With a spill, whatever is written is handed to it whenever SPILL_SIZE bytes have gathered, so
// an id that the writer's numbers make several times longer than its text is never held whole.
template <typename Offset>
class CompactWriter {
 public:
  CompactWriter(std::string_view text, std::string& out, const Spill& spill)
      : begin_(text.data()),
        at_(text.data()),
        end_(text.data() + text.size()),
        out_(out),
        spill_(spill) {}

  void write() {
    const auto length = static_cast<std::size_t>(end_ - begin_);
    out_.reserve(out_.size() + (spill_ ? std::min(length, 2 * SPILL_SIZE) : length));
    value();
  }

 private:
  void skip_white_space() {
    while (at_ != end_ && is_white_space(*at_)) ++at_;
  }

  void value() {
    skip_white_space();
    switch (*at_) {
      case '{':
        object();
        break;
      case '[':
        array();
        break;
      case '"':
        string();
        break;
      case 't':
        literal("true");
        break;
      case 'f':
        literal("false");
        break;
      case 'n':
        literal("null");
        break;
      default:
        number();
    }
    if (spill_ && out_.size() >= SPILL_SIZE) spill_(out_);
  }

  void literal(std::string_view word) {
    out_ += word;
    at_ += word.size();
  }

  void array() {
    ++at_;
    out_ += '[';
    skip_white_space();
    if (*at_ == ']') {
      ++at_;
      out_ += ']';
      return;
    }
    while (true) {
      value();
      skip_white_space();
      if (*at_++ == ']') break;
      out_ += ',';
    }
    out_ += ']';
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
    ++at_;
    skip_white_space();
    if (*at_ == '}') {
      ++at_;
    } else {
      while (true) {
        skip_white_space();
        names_.push_back(static_cast<Offset>(at_ - begin_ + 1));
        skip_string();
        skip_white_space();
        ++at_;  // the colon
        skip_value();
        skip_white_space();
        if (*at_++ == '}') break;
      }
    }
    const char* const after = at_;
    const auto name = [this](Offset offset) { return begin_ + offset; };
    const auto names = names_.begin() + static_cast<std::ptrdiff_t>(first);
    std::sort(names, names_.end(), [&name](Offset left, Offset right) {
      const int order = compare_texts(name(left), name(right));
      return order != 0 ? order < 0 : left < right;
    });
    out_ += '{';
    bool written = false;
    for (std::size_t i = first; i != names_.size(); ++i) {
      if (i + 1 != names_.size() && compare_texts(name(names_[i]), name(names_[i + 1])) == 0) {
        continue;
      }
      if (std::exchange(written, true)) out_ += ',';
      at_ = name(names_[i]) - 1;
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

  void string() {
    const char* const begin = ++at_;
    skip_to_quote();
    out_ += '"';
    JsonString(std::string_view(begin, static_cast<std::size_t>(at_ - begin)), true)
        .append_escaped(out_);
    out_ += '"';
    ++at_;
  }

  void number() {
    const char* const begin = at_;
    while (at_ != end_ && (is_digit(*at_) || *at_ == '-' || *at_ == '+' || *at_ == '.' ||
                           *at_ == 'e' || *at_ == 'E')) {
      ++at_;
    }
    read_number(std::string_view(begin, static_cast<std::size_t>(at_ - begin)), &out_);
  }

  void skip_to_quote() {
    while (*at_ != '"') at_ += *at_ == '\\' ? 2 : 1;
  }

  void skip_string() {
    ++at_;
    skip_to_quote();
    ++at_;
  }

  void skip_value() {
    skip_white_space();
    if (*at_ == '"') {
      skip_string();
      return;
    }
    if (*at_ != '{' && *at_ != '[') {
      while (at_ != end_ && *at_ != ',' && *at_ != '}' && *at_ != ']' && !is_white_space(*at_)) {
        ++at_;
      }
      return;
    }
    std::size_t open = 0;
    do {
      if (*at_ == '"') {
        skip_string();
        continue;
      }
      if (*at_ == '{' || *at_ == '[') ++open;
      if (*at_ == '}' || *at_ == ']') --open;
      ++at_;
    } while (open != 0);
  }

  const char* begin_;
  const char* at_;
  const char* end_;
  std::string& out_;
  const Spill& spill_;
  std::vector<Offset> names_;  // the names of the open objects, innermost last
};

// What an object is to the request: the request itself, its params, the params' arguments, or
// something nobody reads.
enum class Role { IGNORED, REQUEST, PARAMS, ARGUMENTS, META };

// Checks a whole line against the grammar and the limits, keeping the fields of the request.
// Every function returns false as soon as the line is known to be invalid.
class Reader {
 public:
  Reader(std::string_view line, Request& request)
      : at_(line.data()), end_(line.data() + line.size()), request_(request) {}

  bool document() {
    if (!value(0, Role::REQUEST)) return false;
    skip_white_space();
    return at_ == end_;
  }

 private:
  void skip_white_space() {
    while (at_ != end_ && is_white_space(*at_)) ++at_;
  }

  // Skips white space and then `byte` if it comes next.
  bool take(char byte) {
    skip_white_space();
    if (at_ == end_ || *at_ != byte) return false;
    ++at_;
    return true;
  }

  bool next_is(char byte) {
    skip_white_space();
    return at_ != end_ && *at_ == byte;
  }

  // Reads any value nested in `open` arrays and objects; `role` counts only for an object.
  bool value(std::size_t open, Role role) {
    skip_white_space();
    if (at_ == end_) return false;
    switch (*at_) {
      case '{':
        return open < MAX_NESTING_DEPTH && object(open + 1, role);
      case '[':
        return open < MAX_NESTING_DEPTH && array(open + 1);
      case '"': {
        JsonString ignored;
        return string(ignored);
      }
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return number();
    }
  }

  bool object(std::size_t open, Role role) {
    ++at_;
    if (take('}')) return true;
    do {
      JsonString name;
      if (!next_is('"') || !string(name) || !take(':')) return false;
      if (!member(role == Role::IGNORED ? std::string_view() : name.text(name_), open, role)) {
        return false;
      }
    } while (take(','));
    return take('}');
  }

  // Reads the value of the member `name` of an object with `role`. A repeated member replaces
  // what an earlier one gave, as the last occurrence wins in the parsed value.
  bool member(std::string_view name, std::size_t open, Role role) {
    switch (role) {
      case Role::REQUEST:
        if (name == "id") {
          request_.has_id = true;
          return value_text(open, request_.id);
        }
        if (name == "method") {
          request_.method.reset();
          if (!next_is('"')) return value(open, Role::IGNORED);
          return string(request_.method.emplace());
        }
        if (name == "params") {
          request_.tool_name = {};
          request_.query = {};
          request_.query_not_a_string = false;
          request_.protocol_version = {};
          request_.requested_version = {};
          return value(open, Role::PARAMS);
        }
        break;
      case Role::PARAMS:
        if (name == "name") return string_member(open, request_.tool_name);
        if (name == "protocolVersion") return string_member(open, request_.protocol_version);
        if (name == "arguments") {
          request_.query = {};
          request_.query_not_a_string = false;
          return value(open, Role::ARGUMENTS);
        }
        if (name == "_meta") {
          request_.requested_version = {};
          return value(open, Role::META);
        }
        break;
      case Role::ARGUMENTS:
        if (name == "query") {
          request_.query_not_a_string = !next_is('"');
          return string_member(open, request_.query);
        }
        break;
      case Role::META:
        if (name == "io.modelcontextprotocol/protocolVersion") {
          return value_text(open, request_.requested_version);
        }
        break;
      case Role::IGNORED:
        break;
    }
    return value(open, Role::IGNORED);
  }

  // A value kept as its text in the line.
  bool value_text(std::size_t open, std::string_view& text) {
    skip_white_space();
    const char* const begin = at_;
    if (!value(open, Role::IGNORED)) return false;
    text = std::string_view(begin, static_cast<std::size_t>(at_ - begin));
    return true;
  }

  // A member that counts only when it is a string; "" otherwise.
  bool string_member(std::size_t open, JsonString& target) {
    target = {};
    if (next_is('"')) return string(target);
    return value(open, Role::IGNORED);
  }

  bool array(std::size_t open) {
    ++at_;
    if (take(']')) return true;
    do {
      if (!value(open, Role::IGNORED)) return false;
    } while (take(','));
    return take(']');
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - at_) < word.size() ||
        std::string_view(at_, word.size()) != word) {
      return false;
    }
    at_ += word.size();
    return true;
  }

  std::size_t skip_digits() {
    const char* begin = at_;
    while (at_ != end_ && is_digit(*at_)) ++at_;
    return static_cast<std::size_t>(at_ - begin);
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?, and finite as a double: the library reads
  // integers beyond the 64-bit ranges and every number with a fraction or exponent as a double,
  // and one that overflows makes the line invalid.
  bool number() {
    const char* begin = at_;
    if (at_ != end_ && *at_ == '-') ++at_;
    if (at_ == end_ || !is_digit(*at_)) return false;
    std::size_t integer_digits = 1;
    if (*at_ == '0') {
      ++at_;
    } else {
      integer_digits = skip_digits();
    }
    if (at_ != end_ && *at_ == '.') {
      ++at_;
      if (skip_digits() == 0) return false;
    }
    bool exponent = false;
    if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) {
      ++at_;
      if (at_ != end_ && (*at_ == '+' || *at_ == '-')) ++at_;
      if (skip_digits() == 0) return false;
      exponent = true;
    }
    if (!exponent && integer_digits <= MAX_SURELY_FINITE_DIGITS) return true;
    return read_number(std::string_view(begin, static_cast<std::size_t>(at_ - begin)), nullptr);
  }

  // Reads four hex digits after "\u".
  bool hex4(std::uint32_t& unit) {
    if (end_ - at_ < 4) return false;
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = hex_value(*at_++);
      if (digit < 0) return false;
      unit = unit * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  // Checks the escape after a backslash. A surrogate escape counts only as the first half of a
  // pair followed by the second.
  bool escape() {
    if (at_ == end_) return false;
    switch (*at_++) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        return true;
      case 'u': {
        std::uint32_t unit;
        if (!hex4(unit) || (unit >= 0xDC00 && unit <= 0xDFFF)) return false;
        if (unit < 0xD800 || unit > 0xDBFF) return true;
        if (end_ - at_ < 2 || at_[0] != '\\' || at_[1] != 'u') return false;
        at_ += 2;
        return hex4(unit) && unit >= 0xDC00 && unit <= 0xDFFF;
      }
      default:
        return false;
    }
  }

  // Reads a string into `value` as its raw bytes.
  bool string(JsonString& value) {
    const char* const begin = ++at_;
    std::uint64_t high_bits = 0;
    bool escaped = false;
    while (true) {
      at_ = find_string_stop(at_, end_, high_bits);
      if (at_ == end_ || *at_ != '\\') break;
      ++at_;
      escaped = true;
      if (!escape()) return false;
    }
    if (at_ == end_ || *at_ != '"') return false;  // the end of the line or a control character
    value = JsonString(std::string_view(begin, static_cast<std::size_t>(at_ - begin)), escaped);
    ++at_;
    // Escapes are ASCII, so checking the raw bytes checks every multi-byte character.
    return (high_bits & HIGH_BITS) == 0 || text::is_valid_utf8(value.raw());
  }

  const char* at_;
  const char* end_;
  Request& request_;
  std::string name_;  // the decoded name of a member whose name has an escape
};

}  // namespace

std::string_view JsonString::text(std::string& storage) const {
  if (!escaped_) return raw_;
  storage.clear();
  storage.reserve(raw_.size());
  append_escaped(storage, 0);
  return storage;
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
    char bytes[4];
    const std::size_t count = decode_escape(++at, bytes);
    for (std::size_t i = 0; i != count; ++i) append_escaped_byte(bytes[i], times, out);
  }
}

bool JsonString::operator==(std::string_view plain) const {
  if (!escaped_) return raw_ == plain;
  // The raw bytes are followed by the closing quotation mark in the line.
  DecodedBytes bytes(raw_.data());
  for (const char byte : plain) {
    if (bytes.next() != static_cast<unsigned char>(byte)) return false;
  }
  return bytes.next() < 0;
}

void write_compact(std::string_view value, std::string& out, const Spill& spill) {
  // The ids of nearly every request: a string without an escape, or an integer of at most 18
  // digits but -0, whose text is its compact form.
  bool plain = value.front() == '"' ? value.find('\\') == std::string_view::npos
                                    : value.size() <= 18 && value != "-0";
  for (std::size_t i = value.front() == '-' ? 1 : 0;
       plain && value.front() != '"' && i != value.size(); ++i) {
    plain = is_digit(value[i]);
  }
  if (plain) {
    out += value;
    return;
  }
  if (value.size() <= std::numeric_limits<std::uint32_t>::max()) {
    CompactWriter<std::uint32_t>(value, out, spill).write();
  } else {
    CompactWriter<std::size_t>(value, out, spill).write();
  }
}

void Request::write_id(std::string& out, const Spill& spill) const {
  write_compact(id, out, spill);
}

std::optional<Request> read_request(std::string_view line) {
  Request request;
  if (!Reader(line, request).document()) return std::nullopt;
  return request;
}

}  // namespace qmr::mcp
