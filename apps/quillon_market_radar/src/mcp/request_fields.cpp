#include "mcp/request_fields.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "base/text.hpp"

namespace qmr::mcp {

namespace {

// Deeper values are left to the full parser, which bounds nesting on its own.
constexpr int MAX_SCAN_DEPTH = 16;
// Integers of up to 18 digits fit both 64-bit kinds, so the writer gives back the very digits read.
constexpr std::size_t MAX_INTEGER_DIGITS = 18;

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

// A reader of the JSON grammar that builds no values. Every function returns false both for text
// that is not JSON and for JSON it leaves to the full parser; the caller then gives up on the line.
class Scanner {
 public:
  explicit Scanner(std::string_view line) : at_(line.data()), end_(line.data() + line.size()) {}

  // Skips JSON white space and returns the next byte, or NUL at the end (a NUL byte in the line
  // starts no value either).
  char peek() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
    return at_ == end_ ? '\0' : *at_;
  }

  bool at_end() { return peek() == '\0' && at_ == end_; }

  // Reads an object, calling `member(key)` with the scanner before each member's value; `member`
  // reads the value and returns false to give up.
  template <typename Member>
  bool object(Member member) {
    if (peek() != '{') return false;
    ++at_;
    if (peek() == '}') {
      ++at_;
      return true;
    }
    while (true) {
      std::string_view key;
      if (!string(key) || peek() != ':') return false;
      ++at_;
      if (!member(key)) return false;
      const After after = after_item('}');
      if (after != After::MORE) return after == After::CLOSED;
    }
  }

  // Reads a string without escapes or control characters; its bytes are its value.
  bool string(std::string_view& value) {
    if (peek() != '"') return false;
    const char* begin = ++at_;
    std::uint64_t high_bits = 0;  // any byte of the string with its top bit set
    // Eight bytes at a time up to the first quotation mark, backslash or control character.
    while (end_ - at_ >= 8) {
      std::uint64_t word;
      std::memcpy(&word, at_, sizeof word);
      if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
      const std::uint64_t stops =
          has_byte_below(word, 0x20) | has_byte(word, '"') | has_byte(word, '\\');
      if (stops == 0) {
        high_bits |= word;
        at_ += 8;
        continue;
      }
      // The lowest flagged byte is always a true one, so it is the first stop in the text.
      const int stop = std::countr_zero(stops) / 8;
      if (stop != 0) high_bits |= word & (~std::uint64_t{0} >> (64 - 8 * stop));
      at_ += stop;
      break;
    }
    for (; at_ != end_; ++at_) {
      const auto byte = static_cast<unsigned char>(*at_);
      if (byte == '"' || byte == '\\' || byte < 0x20) break;
      high_bits |= byte;
    }
    if (at_ == end_ || *at_ != '"') return false;
    value = std::string_view(begin, static_cast<std::size_t>(at_ - begin));
    ++at_;
    return (high_bits & HIGH_BITS) == 0 || text::is_valid_utf8(value);
  }

  // Reads a number without an exponent whose integer part has at most MAX_INTEGER_DIGITS digits.
  bool number(std::string_view& text, bool& integral) {
    peek();
    const char* begin = at_;
    if (at_ != end_ && *at_ == '-') ++at_;
    const char* digits = at_;
    if (at_ != end_ && *at_ == '0') {
      ++at_;
    } else {
      skip_digits();
    }
    const auto integer_digits = static_cast<std::size_t>(at_ - digits);
    if (integer_digits == 0 || integer_digits > MAX_INTEGER_DIGITS) return false;
    integral = true;
    if (at_ != end_ && *at_ == '.') {
      ++at_;
      integral = false;
      if (skip_digits() == 0) return false;
    }
    if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) return false;
    text = std::string_view(begin, static_cast<std::size_t>(at_ - begin));
    return true;
  }

  bool literal(std::string_view word) {
    if (std::string_view(at_, static_cast<std::size_t>(end_ - at_)).substr(0, word.size()) !=
        word) {
      return false;
    }
    at_ += word.size();
    return true;
  }

  // Reads and drops any value nested `depth` levels deep.
  bool skip_value(int depth) {
    switch (peek()) {
      case '"': {
        std::string_view ignored;
        return string(ignored);
      }
      case '{':
        return depth < MAX_SCAN_DEPTH &&
               object([&](std::string_view) { return skip_value(depth + 1); });
      case '[':
        return depth < MAX_SCAN_DEPTH && skip_array(depth + 1);
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default: {
        std::string_view ignored;
        bool integral = false;
        return number(ignored, integral);
      }
    }
  }

 private:
  std::size_t skip_digits() {
    const char* begin = at_;
    while (at_ != end_ && *at_ >= '0' && *at_ <= '9') ++at_;
    return static_cast<std::size_t>(at_ - begin);
  }

  enum class After { MORE, CLOSED, BROKEN };

  // Reads what follows a member or an element: a comma or the closing bracket.
  After after_item(char closing) {
    const char next = peek();
    if (next != closing && next != ',') return After::BROKEN;
    ++at_;
    return next == ',' ? After::MORE : After::CLOSED;
  }

  bool skip_array(int depth) {
    ++at_;
    if (peek() == ']') {
      ++at_;
      return true;
    }
    while (true) {
      if (!skip_value(depth)) return false;
      const After after = after_item(']');
      if (after != After::MORE) return after == After::CLOSED;
    }
  }

  const char* at_;
  const char* end_;
};

// Reads the id into `text`: its bytes in the line are already its compact form.
bool scan_id(Scanner& scanner, std::string_view& text) {
  switch (scanner.peek()) {
    case '"': {
      std::string_view value;
      if (!scanner.string(value)) return false;
      text = std::string_view(value.data() - 1, value.size() + 2);
      return true;
    }
    case 't':
      text = "true";
      return scanner.literal(text);
    case 'f':
      text = "false";
      return scanner.literal(text);
    case 'n':
      text = "null";
      return scanner.literal(text);
    default: {
      bool integral = false;
      // The full parser reads "-0" as the integer 0, which is written "0".
      return scanner.number(text, integral) && integral && text != "-0";
    }
  }
}

// Reads a member that counts only when it is a string; any other value leaves `value` as it is.
bool scan_string_member(Scanner& scanner, int depth, std::string_view& value) {
  if (scanner.peek() == '"') return scanner.string(value);
  return scanner.skip_value(depth);
}

// Reads "params" (nested at depth 1 of the request): its "name" and its "arguments"' "query".
bool scan_params(Scanner& scanner, RequestFields& fields) {
  if (scanner.peek() != '{') return scanner.skip_value(1);
  bool seen_name = false;
  bool seen_arguments = false;
  return scanner.object([&](std::string_view key) {
    if (key == "name") {
      if (std::exchange(seen_name, true)) return false;
      return scan_string_member(scanner, 2, fields.tool_name);
    }
    if (key != "arguments") return scanner.skip_value(2);
    if (std::exchange(seen_arguments, true)) return false;
    if (scanner.peek() != '{') return scanner.skip_value(2);
    bool seen_query = false;
    return scanner.object([&](std::string_view argument) {
      if (argument != "query") return scanner.skip_value(3);
      if (std::exchange(seen_query, true)) return false;
      return scan_string_member(scanner, 3, fields.query);
    });
  });
}

// Returns the string member `key` of `value`, or "" when `value` is no object or the member is
// missing or not a string.
std::string_view string_member(const json::Value& value, std::string_view key) {
  if (!value.is_object()) return {};
  const auto found = value.find(key);
  if (found == value.end() || !found->is_string()) return {};
  return found->get_ref<const std::string&>();
}

}  // namespace

std::optional<RequestFields> scan_request_fields(std::string_view line) {
  RequestFields fields;
  Scanner scanner(line);
  // A repeated member would have to be read the way the full parser reads it, last one winning;
  // such lines are left to it.
  bool seen_id = false;
  bool seen_method = false;
  bool seen_params = false;
  const bool scanned = scanner.object([&](std::string_view key) {
    if (key == "id") {
      fields.has_id = true;
      return !std::exchange(seen_id, true) && scan_id(scanner, fields.id);
    }
    if (key == "method") {
      if (std::exchange(seen_method, true)) return false;
      if (scanner.peek() != '"') return scanner.skip_value(1);
      std::string_view method;
      if (!scanner.string(method)) return false;
      fields.method = method;
      return true;
    }
    if (key == "params") return !std::exchange(seen_params, true) && scan_params(scanner, fields);
    return scanner.skip_value(1);
  });
  if (!scanned || !scanner.at_end()) return std::nullopt;
  return fields;
}

RequestFields request_fields(const json::Value& request, std::string& id_text) {
  RequestFields fields;
  if (!request.is_object()) return fields;
  if (const auto id = request.find("id"); id != request.end()) {
    id_text.clear();
    json::write_compact(*id, id_text);
    fields.id = id_text;
    fields.has_id = true;
  }
  if (const auto method = request.find("method"); method != request.end() && method->is_string()) {
    fields.method = method->get_ref<const std::string&>();
  }
  // Params that are missing or no object carry no name and no arguments.
  const auto params = request.find("params");
  if (params == request.end() || !params->is_object()) return fields;
  fields.tool_name = string_member(*params, "name");
  if (const auto arguments = params->find("arguments"); arguments != params->end()) {
    fields.query = string_member(*arguments, "query");
  }
  return fields;
}

}  // namespace qmr::mcp
