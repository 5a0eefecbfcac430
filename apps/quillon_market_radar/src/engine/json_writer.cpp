#include "engine/json_writer.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace qmr::json {

namespace {

template <typename Integer>
void write_integer(Integer number, std::string& out) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, number);
  out.append(digits, end);
}

}  // namespace

void write_float(double number, std::string& out) {
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

void write_string(std::string_view text, std::string& out) {
  static constexpr char HEX[] = "0123456789abcdef";
  out += '"';
  std::size_t plain_from = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(text, plain_from, i - plain_from);
    plain_from = i + 1;
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        out += "\\u00";
        out += HEX[byte >> 4];
        out += HEX[byte & 0xF];
    }
  }
  out.append(text, plain_from, text.size() - plain_from);
  out += '"';
}

void write_compact(const Value& value, std::string& out) {
  using Type = Value::value_t;
  switch (value.type()) {
    case Type::null:
    case Type::discarded:
      out += "null";
      return;
    case Type::boolean:
      out += value.get_ref<const Value::boolean_t&>() ? "true" : "false";
      return;
    case Type::number_unsigned:
      write_integer(value.get_ref<const Value::number_unsigned_t&>(), out);
      return;
    case Type::number_integer:
      write_integer(value.get_ref<const Value::number_integer_t&>(), out);
      return;
    case Type::number_float:
      write_float(value.get_ref<const Value::number_float_t&>(), out);
      return;
    case Type::string:
      write_string(value.get_ref<const Value::string_t&>(), out);
      return;
    case Type::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value.get_ref<const Value::array_t&>()) {
        if (!first) out += ',';
        first = false;
        write_compact(element, out);
      }
      out += ']';
      return;
    }
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
    case Type::binary:
      // The parser never produces binary values and nothing of ours builds one.
      out += "null";
      return;
  }
}

std::string to_compact(const Value& value) {
  std::string out;
  write_compact(value, out);
  return out;
}

}  // namespace qmr::json
