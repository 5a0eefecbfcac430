#include "mcp/request_reader.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "base/json_writer.hpp"
#include "base/text.hpp"

namespace qmr::mcp {

namespace {

// A number without an exponent whose integer part has at most this many digits is below 1e308,
// so whichever kind the library reads it as, it is finite.
constexpr std::size_t MAX_SURELY_FINITE_DIGITS = 308;

// The top bit of every byte of a word.
constexpr std::uint64_t HIGH_BITS = 0x8080808080808080;

// Returns the first quotation mark, backslash or control character from `at` on, or `end`; the
// bytes passed over are or-ed into `high_bits`, whose top bits then tell whether any of them is
// not ASCII. Eight bytes at a time: strings are most of a request line.
[[gnu::always_inline]] inline const char* find_string_stop(const char* at, const char* end,
                                                           std::uint64_t& high_bits) {
  while (end - at >= 8) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    const std::uint64_t stops = json::escape_stops(word);
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

// What a value is to the request: for an object, the request itself, its params, the params'
// arguments or _meta, a client's capabilities (in params or in _meta), their extensions or the
// settings of one of EXTENSIONS among them; the array of that extension's media types, or one of
// them; or something nobody reads.
enum class Role {
  IGNORED,
  REQUEST,
  PARAMS,
  ARGUMENTS,
  META,
  CAPABILITIES,
  EXTENSIONS,
  EXTENSION,
  MIME_TYPES,
  MIME_TYPE,
};

// Checks a whole line against the grammar and the limits in one pass, keeping the fields of the
// request; every function returns false as soon as the line is known to be invalid.
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

  bool next_is(char byte) {
    skip_white_space();
    return at_ != end_ && *at_ == byte;
  }

  // Skips white space and then `byte` if it comes next.
  bool take(char byte) { return next_is(byte) && (++at_, true); }

  // Reads any value nested in `open` arrays and objects with its `role`.
  bool value(std::size_t open, Role role) {
    skip_white_space();
    if (at_ == end_) return false;
    switch (*at_) {
      case '{':
        return open < MAX_NESTING_DEPTH && object(open + 1, role);
      case '[':
        return open < MAX_NESTING_DEPTH && array(open + 1, role);
      case '"': {
        JsonString text;
        return string(text) && (role != Role::MIME_TYPE || mime_type(text));
      }
      case 't':
      case 'f':
      case 'n':
        return literal("true") || literal("false") || literal("null");
      default:
        return number();
    }
  }

  bool object(std::size_t open, Role role) {
    ++at_;
    if (role == Role::REQUEST) request_.is_object = true;
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
  // what an earlier one gave, as the last occurrence wins in the parsed value. Written into
  // object(), its one caller (bench/README.md, "The request reader's shape").
  [[gnu::always_inline]] bool member(std::string_view name, std::size_t open, Role role) {
    switch (role) {
      case Role::REQUEST:
        if (name == "id") {
          request_.has_id = true;
          if (!value_text(open, request_.id)) return false;
          // A number was the last value read: the scan has told whether it is a short integer.
          const char first = request_.id.front();
          request_.id_is_string_or_integer =
              first == '"' ||
              ((first == '-' || is_digit(first)) && (short_integer_ || is_integer(request_.id)));
          return true;
        }
        if (name == "method") return string_member(open, request_.method);
        if (name == "params") {
          // Field by field, not as one struct (bench/README.md, "The request reader's shape").
          request_.tool_name = {};
          request_.query = {};
          request_.query_not_a_string = false;
          request_.sku_asin = {};
          request_.platform = {};
          request_.days = {};
          request_.handshake_version = {};
          request_.meta_version_value = {};
          request_.meta_version.reset();
          request_.resource_uri.reset();
          request_.declared.clear();
          request_.meta_declared.clear();
          return value(open, Role::PARAMS);
        }
        if (name == "result" || name == "error") request_.has_result_or_error = true;
        break;
      case Role::PARAMS:
        if (name == "name") return string_member(open, request_.tool_name);
        if (name == "protocolVersion") return string_member(open, request_.handshake_version);
        if (name == "arguments") {
          request_.query = {};
          request_.query_not_a_string = false;
          request_.sku_asin = {};
          request_.platform = {};
          request_.days = {};
          return value(open, Role::ARGUMENTS);
        }
        if (name == "_meta") {
          request_.meta_version_value = {};
          request_.meta_version.reset();
          request_.meta_declared.clear();
          return value(open, Role::META);
        }
        if (name == "uri") return string_member(open, request_.resource_uri);
        return extension_member(name, open, role);
      case Role::ARGUMENTS:
        if (name == "query") {
          request_.query_not_a_string = !next_is('"');
          return string_member(open, request_.query);
        }
        if (name == "sku_asin") return string_member(open, request_.sku_asin);
        if (name == "platform") return string_member(open, request_.platform);
        if (name == "days") return value_text(open, request_.days);
        break;
      case Role::META:
        if (name == "io.modelcontextprotocol/protocolVersion") {
          return value_text(open, request_.meta_version_value, &request_.meta_version);
        }
        return extension_member(name, open, role);
      case Role::CAPABILITIES:
      case Role::EXTENSIONS:
      case Role::EXTENSION:
        return extension_member(name, open, role);
      case Role::MIME_TYPES:
      case Role::MIME_TYPE:
      case Role::IGNORED:
        break;
    }
    return value(open, Role::IGNORED);
  }

  // A value kept as its text in the line, and as a string in `string` when it is one.
  bool value_text(std::size_t open, std::string_view& text,
                  std::optional<JsonString>* string = nullptr) {
    skip_white_space();
    const char* const begin = at_;
    if (!(string ? string_member(open, *string) : value(open, Role::IGNORED))) return false;
    text = std::string_view(begin, static_cast<std::size_t>(at_ - begin));
    return true;
  }

  // Reads the value of the member `name` of an object with `role` on the way to an extension's
  // media type: a client's capabilities in params or in _meta, whose set `declared_` then points
  // to, and in them each member on the way, which starts over what an earlier one of its name
  // declared. Kept apart from member() and calling nothing but value() (bench/README.md, "The
  // request reader's shape").
  [[gnu::cold]] bool extension_member(std::string_view name, std::size_t open, Role role) {
    Role next = Role::IGNORED;
    if (role == Role::PARAMS && name == "capabilities") {
      declared_ = &request_.declared;
      next = Role::CAPABILITIES;
    }
    if (role == Role::META && name == "io.modelcontextprotocol/clientCapabilities") {
      declared_ = &request_.meta_declared;
      next = Role::CAPABILITIES;
    }
    if (role == Role::CAPABILITIES && name == "extensions") next = Role::EXTENSIONS;
    if (next != Role::IGNORED) declared_->clear();
    for (std::size_t row = 0; role == Role::EXTENSIONS && row != EXTENSIONS.size(); ++row) {
      if (name == EXTENSIONS[row].key) {
        extension_ = row;
        next = Role::EXTENSION;
      }
    }
    if (role == Role::EXTENSION && name == "mimeTypes") next = Role::MIME_TYPES;
    if (next == Role::EXTENSION || next == Role::MIME_TYPES) declared_->erase(extension_);
    return value(open, next);
  }

  // Takes one of an extension's media types: the client declares it when any is its type.
  [[gnu::cold]] bool mime_type(const JsonString& type) {
    if (type == EXTENSIONS[extension_].media_type) declared_->insert(extension_);
    return true;
  }

  // A member that counts only when it is a string; "" otherwise.
  bool string_member(std::size_t open, JsonString& target) {
    target = {};
    if (next_is('"')) return string(target);
    return value(open, Role::IGNORED);
  }

  // A member that counts only when it is a string; nothing otherwise.
  bool string_member(std::size_t open, std::optional<JsonString>& target) {
    target.reset();
    if (next_is('"')) return string(target.emplace());
    return value(open, Role::IGNORED);
  }

  bool array(std::size_t open, Role role) {
    const Role element = role == Role::MIME_TYPES ? Role::MIME_TYPE : Role::IGNORED;
    ++at_;
    if (take(']')) return true;
    do {
      if (!value(open, element)) return false;
    } while (take(','));
    return take(']');
  }

  bool literal(std::string_view word) {
    return std::string_view(at_, end_).starts_with(word) && (at_ += word.size(), true);
  }

  std::size_t skip_digits() {
    const char* begin = at_;
    while (at_ != end_ && is_digit(*at_)) ++at_;
    return static_cast<std::size_t>(at_ - begin);
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?, and finite as is_finite_number reads it: one
  // that overflows makes the line invalid.
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
    const bool fraction = at_ != end_ && *at_ == '.';
    if (fraction) {
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
    short_integer_ = !fraction && !exponent && integer_digits <= 18;
    if (!exponent && integer_digits <= MAX_SURELY_FINITE_DIGITS) return true;
    return is_finite_number(std::string_view(begin, static_cast<std::size_t>(at_ - begin)));
  }

  // Reads a string into `value` as its raw bytes.
  bool string(JsonString& value) {
    const char* const begin = ++at_;
    std::uint64_t high_bits = 0;
    bool escaped = false;
    while (true) {
      at_ = find_string_stop(at_, end_, high_bits);
      if (at_ == end_ || *at_ != '\\') break;
      const std::size_t size = escape_size(at_, end_);
      if (size == 0) return false;
      at_ += size;
      escaped = true;
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
  // Whether the last number read is an integer literal of at most 18 digits (see is_short_integer).
  bool short_integer_ = false;
  // The set the capabilities being read declare extensions in: those of params or of _meta, which
  // never hold one another; and the row of the extension whose settings are being read.
  ExtensionSet* declared_ = nullptr;
  std::size_t extension_ = 0;
};

}  // namespace

std::optional<Request> read_request(std::string_view line) {
  // Read in place and returned as the one named result, so the request is never copied.
  std::optional<Request> request(std::in_place);
  if (!Reader(line, *request).document()) request.reset();
  return request;
}

}  // namespace qmr::mcp
