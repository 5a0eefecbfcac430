#include "mcp/request_reader.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include "base/json_writer.hpp"
#include "base/text.hpp"
#include "mcp/json_line.hpp"

namespace qmr::mcp {

namespace {

// A number without an exponent whose integer part has at most this many digits is below 1e308,
// so whichever kind the library reads it as, it is finite.
constexpr std::size_t MAX_SURELY_FINITE_DIGITS = 308;

// An integer of at most this many digits fits in 64 bits whatever its sign.
constexpr std::size_t MAX_PLAIN_INTEGER_DIGITS = 18;

// What an object is to the request: the request itself, its params, the params' arguments, or
// something nobody reads.
enum class Role { IGNORED, REQUEST, PARAMS, ARGUMENTS };

bool is_digit(char byte) { return byte >= '0' && byte <= '9'; }

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

void append_utf8(std::uint32_t code_point, std::string& out) {
  char bytes[4];
  out.append(bytes, encode_utf8(code_point, bytes));
}

// Appends the character `code_point` as the JSON writer writes it inside a string.
void append_written_character(std::uint32_t code_point, std::string& out) {
  std::string character;
  append_utf8(code_point, character);
  std::string written;
  json::write_string(character, written);
  out.append(written, 1, written.size() - 2);
}

// Returns the character of the escape that `at` points into, just after its backslash, and
// moves `at` past it. The text must have been checked: a high surrogate is followed by a low one.
std::uint32_t read_escape(const char*& at) {
  const auto hex4 = [&at] {
    std::uint32_t unit = 0;
    for (int i = 0; i < 4; ++i) unit = unit * 16 + static_cast<std::uint32_t>(hex_value(*at++));
    return unit;
  };
  switch (*at++) {
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    case 'u': {
      const std::uint32_t unit = hex4();
      if (unit < 0xD800 || unit > 0xDBFF) return unit;
      at += 2;  // the backslash and "u" of the low surrogate
      return 0x10000 + ((unit - 0xD800) << 10) + (hex4() - 0xDC00);
    }
    default:  // '"', '\\' and '/' stand for themselves
      return static_cast<unsigned char>(at[-1]);
  }
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
      count_ = encode_utf8(read_escape(at_), bytes_);
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
// names of an object, a name before every longer one it starts. Both point at their opening
// quotation marks. Returns a negative number, zero or a positive number.
int compare_names(const char* left, const char* right) {
  ++left;
  ++right;
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

// Writes a checked JSON value in the compact form the JSON writer gives its parsed value, straight
// from its text: objects with their members in byte-wise order of their decoded names, the last
// of a repeated name winning; strings escaped again as the writer escapes; numbers as the writer
// writes the number the library reads. Only the names of the objects being written are held, as
// offsets into the text, so an id of millions of members costs a fraction of its own size.
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
    // Every member takes at least five bytes (`"":0` and a comma or closing brace), so this holds
    // the names of all open objects at once and never grows; pages not written are not taken.
    names_.reserve(static_cast<std::size_t>(end_ - begin_) / 5 + 1);
    value();
  }

 private:
  void skip_white_space() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
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
    const std::size_t first = names_.size();
    ++at_;
    skip_white_space();
    if (*at_ == '}') {
      ++at_;
    } else {
      while (true) {
        skip_white_space();
        names_.push_back(static_cast<Offset>(at_ - begin_));
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
      const int order = compare_names(name(left), name(right));
      return order != 0 ? order < 0 : left < right;
    });
    out_ += '{';
    bool written = false;
    for (std::size_t i = first; i != names_.size(); ++i) {
      if (i + 1 != names_.size() && compare_names(name(names_[i]), name(names_[i + 1])) == 0) {
        continue;
      }
      if (std::exchange(written, true)) out_ += ',';
      at_ = name(names_[i]);
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
    out_ += '"';
    const char* run = ++at_;  // bytes from here on are written as they are
    while (*at_ != '"') {
      if (*at_ != '\\') {
        ++at_;
        continue;
      }
      out_.append(run, at_);
      ++at_;
      append_written_character(read_escape(at_), out_);
      run = at_;
    }
    out_.append(run, at_);
    out_ += '"';
    ++at_;
  }

  // An integer of at most 18 digits is read as a 64-bit integer and written back as it stands,
  // but for -0, which is 0; any other number is read by the library on its own.
  void number() {
    const char* const begin = at_;
    bool integer = true;
    while (at_ != end_ && (is_digit(*at_) || *at_ == '-' || *at_ == '+' || *at_ == '.' ||
                           *at_ == 'e' || *at_ == 'E')) {
      integer &= is_digit(*at_) || *at_ == '-';
      ++at_;
    }
    const std::string_view text(begin, static_cast<std::size_t>(at_ - begin));
    if (integer && text.size() - (text.front() == '-' ? 1 : 0) <= MAX_PLAIN_INTEGER_DIGITS) {
      out_ += text == "-0" ? "0" : text;
      return;
    }
    json::write_compact(parse_json_line(text).value(), out_);
  }

  void skip_string() {
    ++at_;
    while (*at_ != '"') at_ += *at_ == '\\' ? 2 : 1;
    ++at_;
  }

  void skip_value() {
    skip_white_space();
    if (*at_ == '"') {
      skip_string();
      return;
    }
    if (*at_ != '{' && *at_ != '[') {
      while (at_ != end_ && *at_ != ',' && *at_ != '}' && *at_ != ']' && *at_ != ' ' &&
             *at_ != '\t' && *at_ != '\n' && *at_ != '\r') {
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

// Checks a whole line against the JSON grammar and the library's limits, keeping only the fields
// of the request. Every function returns false as soon as the line is known to be invalid.
class Reader {
 public:
  Reader(std::string_view line, ReadRequest& request)
      : at_(line.data()), end_(line.data() + line.size()), request_(request) {}

  bool document() {
    if (!value(0, Role::REQUEST)) return false;
    skip_white_space();
    return at_ == end_;
  }

 private:
  void skip_white_space() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
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
      case '"':
        return string(nullptr);
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
      if (!next_is('"')) return false;
      key_.clear();
      if (!string(role == Role::IGNORED ? nullptr : &key_) || !take(':')) return false;
      if (!member(open, role)) return false;
    } while (take(','));
    return take('}');
  }

  // Reads the value of the member named key_ of an object with `role`. A repeated member
  // replaces what an earlier one gave, as the last occurrence wins in the parsed value.
  bool member(std::size_t open, Role role) {
    switch (role) {
      case Role::REQUEST:
        if (key_ == "id") return id(open);
        if (key_ == "method") {
          request_.method.reset();
          if (!next_is('"')) return value(open, Role::IGNORED);
          std::string method;
          if (!string(&method)) return false;
          request_.method = std::move(method);
          return true;
        }
        if (key_ == "params") {
          request_.tool_name.clear();
          request_.query.clear();
          return value(open, Role::PARAMS);
        }
        break;
      case Role::PARAMS:
        if (key_ == "name") return string_member(open, request_.tool_name);
        if (key_ == "arguments") {
          request_.query.clear();
          return value(open, Role::ARGUMENTS);
        }
        break;
      case Role::ARGUMENTS:
        if (key_ == "query") return string_member(open, request_.query);
        break;
      case Role::IGNORED:
        break;
    }
    return value(open, Role::IGNORED);
  }

  // A member that counts only when it is a string; "" otherwise.
  bool string_member(std::size_t open, std::string& target) {
    target.clear();
    if (next_is('"')) return string(&target);
    return value(open, Role::IGNORED);
  }

  // The id in its compact form. A string id is written from its decoded text as it is read; any
  // other id is checked and kept as its text, written when the answer is, so that a structured
  // one (which JSON-RPC does not allow) is never built as a value nor held as a second copy.
  bool id(std::size_t open) {
    request_.has_id = true;
    request_.id = std::string();
    request_.id_text = {};
    if (next_is('"')) {
      // Written straight in its compact form, escapes decoded and written again as the writer
      // escapes, so a long id is held once.
      request_.id += '"';
      if (!string(&request_.id, /*escape_again=*/true)) return false;
      request_.id += '"';
      return true;
    }
    skip_white_space();
    const char* begin = at_;
    if (!value(open, Role::IGNORED)) return false;
    request_.id_text = std::string_view(begin, static_cast<std::size_t>(at_ - begin));
    return true;
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

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?, and finite as a float: the library reads
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
    const std::string text(begin, at_);
    return std::isfinite(std::strtod(text.c_str(), nullptr));
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

  // Appends the character an escape stands for to `decoded`, escaped again as the JSON writer
  // escapes it when `escape_again`.
  static void append_character(std::uint32_t code_point, std::string& decoded, bool escape_again) {
    if (escape_again) {
      append_written_character(code_point, decoded);
    } else {
      append_utf8(code_point, decoded);
    }
  }

  // Reads the escape after a backslash and appends the character to `decoded` when given. A
  // surrogate escape counts only as the first half of a pair followed by the second.
  bool escape(std::string* decoded, bool escape_again) {
    if (at_ == end_) return false;
    char simple;
    switch (*at_++) {
      case '"':
        simple = '"';
        break;
      case '\\':
        simple = '\\';
        break;
      case '/':
        simple = '/';
        break;
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
        std::uint32_t code_point;
        if (!hex4(code_point)) return false;
        if (code_point >= 0xDC00 && code_point <= 0xDFFF) return false;
        if (code_point >= 0xD800 && code_point <= 0xDBFF) {
          std::uint32_t low;
          if (end_ - at_ < 2 || at_[0] != '\\' || at_[1] != 'u') return false;
          at_ += 2;
          if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
          code_point = 0x10000 + ((code_point - 0xD800) << 10) + (low - 0xDC00);
        }
        if (decoded) append_character(code_point, *decoded, escape_again);
        return true;
      }
      default:
        return false;
    }
    if (decoded) append_character(static_cast<unsigned char>(simple), *decoded, escape_again);
    return true;
  }

  // Returns the number of bytes from at_ to the closing quotation mark of the string at_ is in,
  // or to the end of the line: no decoded text is longer.
  std::size_t raw_length() const {
    const char* at = at_;
    while (at != end_ && *at != '"') at += (*at == '\\' && end_ - at > 1) ? 2 : 1;
    return static_cast<std::size_t>(at - at_);
  }

  // Reads a string and appends its text, escapes decoded, to `decoded` when given; with
  // `escape_again`, its text as the JSON writer writes it, without the quotation marks.
  bool string(std::string* decoded, bool escape_again = false) {
    const char* raw = ++at_;
    const char* run = at_;  // bytes from here on are copied as they are
    // Room for the whole text at once, and for the closing quotation mark of an id: growing by
    // doubling would hold two copies for a moment. Neither form is longer than the raw text.
    if (decoded) decoded->reserve(decoded->size() + raw_length() + 1);
    bool high_bits = false;
    while (true) {
      if (at_ == end_) return false;
      const auto byte = static_cast<unsigned char>(*at_);
      if (byte == '"') break;
      if (byte < 0x20) return false;
      if (byte == '\\') {
        if (decoded) decoded->append(run, at_);
        ++at_;
        if (!escape(decoded, escape_again)) return false;
        run = at_;
        continue;
      }
      high_bits |= byte >= 0x80;
      ++at_;
    }
    if (decoded) decoded->append(run, at_);
    // Escapes are ASCII, so checking the raw bytes checks every multi-byte character.
    const std::string_view bytes(raw, static_cast<std::size_t>(at_ - raw));
    ++at_;
    return !high_bits || text::is_valid_utf8(bytes);
  }

  const char* at_;
  const char* end_;
  ReadRequest& request_;
  std::string key_;  // the name of the member being read, in an object that is read
};

}  // namespace

void ReadRequest::write_id(std::string& out, const Spill& spill) const {
  if (id_text.empty()) {
    out += id;
  } else if (id_text.size() <= std::numeric_limits<std::uint32_t>::max()) {
    CompactWriter<std::uint32_t>(id_text, out, spill).write();
  } else {
    CompactWriter<std::size_t>(id_text, out, spill).write();
  }
}

RequestFields ReadRequest::fields(std::string& id_text_written) const {
  id_text_written.clear();
  write_id(id_text_written, Spill());
  RequestFields fields = this->fields();
  fields.id = id_text_written;
  return fields;
}

RequestFields ReadRequest::fields() const {
  RequestFields fields;
  fields.id = id_text.empty() ? std::string_view(id) : id_text;
  fields.has_id = has_id;
  if (method) fields.method = *method;
  fields.tool_name = tool_name;
  fields.query = query;
  return fields;
}

std::optional<ReadRequest> read_request(std::string_view line) {
  ReadRequest request;
  if (!Reader(line, request).document()) return std::nullopt;
  return request;
}

}  // namespace qmr::mcp
