// The JSON text of a checked request line, read and written where it stands: a string kept as its
// raw bytes (escaped again or decoded on demand by the one decoder of escapes), numbers read as
// the JSON library reads them, and any value (an id, a version in `_meta`) rewritten in the
// canonical form the JSON writer gives its parsed value.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qmr::mcp {

/// A string of a checked line, kept as the bytes between its quotation marks; without an escape
/// those bytes are its text.
class JsonString {
 public:
  JsonString() = default;
  JsonString(std::string_view raw, bool escaped) : raw_(raw), escaped_(escaped) {}

  /// Returns the text, escapes decoded: the raw bytes themselves when there is no escape,
  /// otherwise the text decoded into `storage`.
  [[nodiscard]] std::string_view text(std::string& storage) const {
    return escaped_ ? decoded(storage) : raw_;
  }

  /// Returns the string of the raw bytes from `offset` on, about `size` of them but never a piece
  /// of a character or an escape, and moves `offset` past them; an empty one at the end. A long
  /// string is decoded or escaped this way a bounded part at a time.
  [[nodiscard]] JsonString part(std::size_t& offset, std::size_t size) const;

  /// Appends the text as the JSON writer writes it inside a string, without the quotation marks;
  /// with `times` 2, as that is written once more inside a string (a JSON text carried in one);
  /// with `times` 0, the text itself.
  void append_escaped(std::string& out, int times = 1) const;

  /// The bytes between the quotation marks; no decoded text is longer.
  [[nodiscard]] std::string_view raw() const { return raw_; }

  /// Compares the text with `plain`.
  [[nodiscard]] bool operator==(std::string_view plain) const {
    return escaped_ ? decoded_equals(plain) : raw_ == plain;
  }

 private:
  // The escaped cases of text() and operator==, out of the way of the plain ones inlined.
  std::string_view decoded(std::string& storage) const;
  bool decoded_equals(std::string_view plain) const;

  std::string_view raw_;
  bool escaped_ = false;
};

/// Returns the bytes of the escape at `at`, a backslash, when it is one JSON allows within the
/// bytes before `end`: 2, 6 for \uXXXX, 12 for a surrogate pair (a surrogate escape counts only as
/// the first half of a pair followed by the second); 0 when it is none.
[[nodiscard]] std::size_t escape_size(const char* at, const char* end);

/// Returns true when the checked JSON number `number` is finite as the library reads it: an
/// integer of the 64-bit ranges exactly, any other number as the nearest double, which an
/// overflow makes infinite (an underflow is zero).
[[nodiscard]] bool is_finite_number(std::string_view number);

/// Returns true when the checked JSON value `value` is an integer literal (no fraction, no
/// exponent) within the 64-bit ranges: what the library reads as an integer, written back as it
/// stands ("-0" as "0"). Any other number, 1.0 and 1e2 among them, is read as a double.
[[nodiscard]] bool is_integer(std::string_view value);

/// Bytes of text write_canonical gathers in its output before it hands them to its taker.
inline constexpr std::size_t PART_SIZE = 64 * 1024;

/// Takes the part of a long answer written so far out of `part`, leaving it empty, while the rest
/// is still being written; the stdio loop writes each part to standard output.
using Spill = std::function<void(std::string& part)>;

/// Appends `value`, a JSON value of a checked line, in the canonical form the JSON writer gives its
/// parsed value: objects with their members in byte-wise order of their decoded names, the last
/// of a repeated name winning; strings escaped as the writer escapes; numbers as the library reads
/// them. With `times` 2, that text written inside a JSON string (its quotation marks not
/// included). With `take_part`, the text is handed to it whenever PART_SIZE bytes have gathered in
/// `out`, and it takes them out, so that a value the writer makes longer than its text (1e4 is
/// written 10000.0) is never held whole.
void write_canonical(std::string_view value, std::string& out, const Spill& take_part = {},
                     int times = 1);

/// Whether `byte` is a decimal digit; JSON white space.
[[nodiscard]] constexpr bool is_digit(char byte) { return byte >= '0' && byte <= '9'; }
[[nodiscard]] constexpr bool is_white_space(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

/// Returns true when `value` is an integer literal of at most 18 digits: within the 64-bit ranges
/// whatever they are, and written back as it stands but for "-0".
[[nodiscard]] constexpr bool is_short_integer(std::string_view value) {
  const std::string_view digits = value.substr(value.front() == '-' ? 1 : 0);
  return digits.size() <= 18 && std::ranges::all_of(digits, is_digit);
}

}  // namespace qmr::mcp
