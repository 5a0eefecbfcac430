#include "support/json_line.hpp"

#include <string>
#include <utility>
#include <vector>

namespace qmr::mcp {

namespace {

constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

// Builds the value from the parser's events and refuses to open a level beyond
// MAX_NESTING_DEPTH. Refusing stops the parser at once, so a line of a million "[" costs no more
// than reading 128 of them.
class BoundedValueBuilder {
 public:
  using number_integer_t = json::Value::number_integer_t;
  using number_unsigned_t = json::Value::number_unsigned_t;
  using number_float_t = json::Value::number_float_t;
  using string_t = json::Value::string_t;
  using binary_t = json::Value::binary_t;

  explicit BoundedValueBuilder(json::Value& root) : root_(root) {}

  bool null() { return add(nullptr); }
  bool boolean(bool value) { return add(value); }
  bool number_integer(number_integer_t value) { return add(value); }
  bool number_unsigned(number_unsigned_t value) { return add(value); }
  bool number_float(number_float_t value, const string_t& /*text*/) { return add(value); }
  bool string(string_t& value) { return add(std::move(value)); }
  // JSON text has no binary values; the parser never reports one.
  bool binary(binary_t& /*value*/) { return false; }

  bool start_object(std::size_t /*size*/) { return open(json::Value::value_t::object); }
  bool start_array(std::size_t /*size*/) { return open(json::Value::value_t::array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  // A repeated key lands on the slot of its first occurrence, so the last value wins.
  bool key(string_t& name) {
    member_ = &(*open_.back())[std::move(name)];
    return true;
  }

  template <typename Exception>
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const Exception& /*error*/) {
    return false;
  }

 private:
  template <typename Scalar>
  bool add(Scalar&& value) {
    place(std::forward<Scalar>(value));
    return true;
  }

  bool open(json::Value::value_t type) {
    if (open_.size() == MAX_NESTING_DEPTH) return false;
    open_.push_back(place(type));
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  // Stores `value` where the next value of the document goes and returns where it now lives.
  // Earlier siblings are complete by then, so a growing array never moves an open level.
  template <typename Any>
  json::Value* place(Any&& value) {
    if (open_.empty()) {
      root_ = json::Value(std::forward<Any>(value));
      return &root_;
    }
    json::Value& parent = *open_.back();
    if (parent.is_array()) return &parent.emplace_back(std::forward<Any>(value));
    *member_ = json::Value(std::forward<Any>(value));
    return member_;
  }

  json::Value& root_;
  std::vector<json::Value*> open_;
  json::Value* member_ = nullptr;
};

}  // namespace

std::optional<json::Value> parse_json_line(std::string_view line) {
  // The library's reader takes a NUL for the end of its input and skips a leading byte-order
  // mark; neither is JSON, so both would let a broken line through.
  if (line.find('\0') != std::string_view::npos || line.starts_with(BYTE_ORDER_MARK)) {
    return std::nullopt;
  }
  json::Value value;
  BoundedValueBuilder builder(value);
  try {
    if (!json::Value::sax_parse(line.begin(), line.end(), &builder)) return std::nullopt;
  } catch (const json::Value::exception&) {
    // Whatever the library throws about the text (a number out of range, say) makes it invalid.
    return std::nullopt;
  }
  return value;
}

}  // namespace qmr::mcp
