#include "base/json_writer.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace qmr::json {

namespace {

// Writes a number that is a whole count of hundredths (a price in rupees, a percentage to two
// decimals) as that decimal, without the general algorithm: a decimal of at most 15 significant
// digits is the shortest text that reads back as the double nearest it. Returns false, writing
// nothing, for any other number, for zero (its sign), and for a whole number of six digits or
// more, where the exponent form may be the shorter.
bool write_hundredths(double number, std::string& out) {
  if (number == 0 || !(std::fabs(number) < 1e13)) return false;
  const std::int64_t hundredths = std::llround(number * 100);
  if (static_cast<double>(hundredths) / 100 != number) return false;
  std::uint64_t whole = static_cast<std::uint64_t>(hundredths < 0 ? -hundredths : hundredths);
  const auto cents = static_cast<char>(whole % 100);
  whole /= 100;
  if (cents == 0 && whole >= 100'000) return false;
  char text[24];
  char* at = std::end(text);
  if (cents % 10 != 0) *--at = static_cast<char>('0' + cents % 10);
  *--at = static_cast<char>('0' + cents / 10);
  *--at = '.';
  do {
    *--at = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole != 0);
  if (hundredths < 0) *--at = '-';
  out.append(at, std::end(text));
  return true;
}

}  // namespace

void write_float(double number, std::string& out) {
  if (write_hundredths(number, out)) return;
  if (!std::isfinite(number)) {
    out += "null";
    return;
  }
  char digits[32];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, number);
  std::string_view text(digits, static_cast<std::size_t>(end - digits));
  out += text;
  // Without a point or an exponent the text would read back as an integer.
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

std::size_t escape_byte(unsigned char byte, char (&form)[6]) {
  static constexpr char HEX[] = "0123456789abcdef";
  // Each byte that has a short escape, followed by the character after its backslash.
  static constexpr std::string_view SHORT_ESCAPES = "\"\"\\\\\nn\rr\tt\bb\ff";
  form[0] = static_cast<char>(byte);
  if (byte >= 0x20 && byte != '"' && byte != '\\') return 1;
  form[0] = '\\';
  for (std::size_t i = 0; i < SHORT_ESCAPES.size(); i += 2) {
    if (SHORT_ESCAPES[i] != static_cast<char>(byte)) continue;
    form[1] = SHORT_ESCAPES[i + 1];
    return 2;
  }
  form[1] = 'u';
  form[2] = form[3] = '0';
  form[4] = HEX[byte >> 4];
  form[5] = HEX[byte & 0xF];
  return 6;
}

void write_string(std::string_view text, std::string& out) {
  // Eight bytes are looked at together and runs with no escape copied whole: tool texts are
  // escaped a second time on the wire and hold dozens of quotation marks among plain bytes.
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  const char* run = text.data();  // the first byte not yet written
  const char* at = run;
  const char* const end = at + text.size();
  while (at != end) {
    const char* const block_end = end - at >= 8 ? at + 8 : end;
    std::uint64_t word = 0;
    if (block_end - at == 8 && (std::memcpy(&word, at, 8), escape_stops(word) == 0)) {
      at = block_end;
      continue;
    }
    for (; at != block_end; ++at) {
      char form[6];
      const std::size_t size = escape_byte(static_cast<unsigned char>(*at), form);
      if (size == 1) continue;
      out.append(run, at).append(form, size);
      run = at + 1;
    }
  }
  out.append(run, end);
  out += '"';
}

void write_compact(const Value& value, std::string& out) {
  using Type = Value::value_t;
  switch (value.type()) {
    case Type::null:
    case Type::discarded:
    // The parser never produces binary values and nothing of ours builds one.
    case Type::binary:
      out += "null";
      return;
    case Type::boolean:
      out += value.get_ref<const Value::boolean_t&>() ? "true" : "false";
      return;
    case Type::number_unsigned:
      out += std::to_string(value.get_ref<const Value::number_unsigned_t&>());
      return;
    case Type::number_integer:
      out += std::to_string(value.get_ref<const Value::number_integer_t&>());
      return;
    case Type::number_float:
      write_float(value.get_ref<const Value::number_float_t&>(), out);
      return;
    case Type::string:
      write_string(value.get_ref<const Value::string_t&>(), out);
      return;
    case Type::array:
      write_array(value.get_ref<const Value::array_t&>(), out, write_compact);
      return;
    case Type::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.get_ref<const Value::object_t&>()) {
        if (!first) out += ',';
        first = false;
        write_string(key, out);
        out += ':';
        write_compact(member, out);
      }
      out += '}';
      return;
    }
  }
}

std::string to_compact(const Value& value) {
  std::string out;
  write_compact(value, out);
  return out;
}

}  // namespace qmr::json
