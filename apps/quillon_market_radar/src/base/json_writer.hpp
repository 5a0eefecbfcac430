// The one compact JSON writer of the program. Floats are written as the shortest text that reads
// back to the same double (integral ones with ".0", non-finite ones as null); objects come out
// with their members in byte-wise key order, since the value type keeps them sorted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace qmr::json {

using Value = nlohmann::json;

/// Appends `value` as compact JSON text (no white space between tokens) to `out`.
void write_compact(const Value& value, std::string& out);

/// Returns `value` as compact JSON text.
[[nodiscard]] std::string to_compact(const Value& value);

/// Appends `text` as a JSON string: quotation mark and backslash escaped, control characters as
/// \n, \r, \t, \b, \f or \u00xx (lower-case hex), everything else as its raw bytes.
void write_string(std::string_view text, std::string& out);

/// Writes how `byte` stands inside a JSON string, as write_string writes it, to `form` and returns
/// its length: 1 for a byte written as it is, 2 for a short escape such as \n, 6 for \u00xx.
std::size_t escape_byte(unsigned char byte, char (&form)[6]);

/// Flags the top bit of each of the eight bytes of `word` that write_string escapes: a control
/// character, '"' or '\\'. The word is flagged exactly when it holds one; a byte above a flagged
/// one may be flagged falsely (a borrow), but the lowest flagged byte is always a true one.
[[nodiscard]] constexpr std::uint64_t escape_stops(std::uint64_t word) {
  constexpr std::uint64_t ONES = 0x0101010101010101;
  // The bytes of `x` below `limit` (at most 0x80).
  const auto below = [](std::uint64_t x, std::uint8_t limit) {
    return (x - ONES * limit) & ~x & 0x8080808080808080;
  };
  return below(word, 0x20) | below(word ^ (ONES * '"'), 1) | below(word ^ (ONES * '\\'), 1);
}

/// Appends a double in its shortest round-trip form, "1999.0" for integral values, "null" when
/// it is not finite.
void write_float(double number, std::string& out);

/// Appends `items` as a JSON array, each item written by `write(item, out)`.
template <typename Items, typename Write>
void write_array(const Items& items, std::string& out, Write write) {
  out += '[';
  for (auto item = std::begin(items); item != std::end(items); ++item) {
    if (item != std::begin(items)) out += ',';
    write(*item, out);
  }
  out += ']';
}

}  // namespace qmr::json
