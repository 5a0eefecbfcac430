// The one reader of the tool server's input: it says what a valid request line is and keeps what
// the server acts on. A line is valid when it is exactly one JSON value (RFC 8259), JSON white
// space around it and nothing else, with these limits: at most MAX_NESTING_DEPTH levels of arrays
// and objects, every number finite as a double, strings of well-formed UTF-8 with paired
// surrogate escapes (so no byte-order mark and no NUL byte anywhere). Nothing is built for a
// valid line: the fields kept are views into it, so a plain request costs no allocation and a
// line of megabytes no more than its own bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qmr::mcp {

/// The deepest nesting of arrays and objects a line may hold; one level more makes it invalid.
inline constexpr std::size_t MAX_NESTING_DEPTH = 127;

/// Takes the part of a long answer written so far out of `part`, leaving it empty, while the rest
/// is still being written; the tool server writes each part to standard output.
using Spill = std::function<void(std::string& part)>;

/// Bytes of an answer gathered before a spill is given them.
inline constexpr std::size_t SPILL_SIZE = 64 * 1024;

/// A string of a checked line, kept as the bytes between its quotation marks; without an escape
/// those bytes are its text.
class JsonString {
 public:
  JsonString() = default;
  JsonString(std::string_view raw, bool escaped) : raw_(raw), escaped_(escaped) {}

  /// Returns the text, escapes decoded: the raw bytes themselves when there is no escape,
  /// otherwise the text decoded into `storage`.
  [[nodiscard]] std::string_view text(std::string& storage) const;

  /// Appends the text as the JSON writer writes it inside a string, without the quotation marks;
  /// with `times` 2, as that is written once more inside a string (a JSON text carried in one);
  /// with `times` 0, the text itself.
  void append_escaped(std::string& out, int times = 1) const;

  /// The bytes between the quotation marks; no decoded text is longer.
  [[nodiscard]] std::string_view raw() const { return raw_; }

  /// Compares the text with `plain`.
  [[nodiscard]] bool operator==(std::string_view plain) const;

 private:
  std::string_view raw_;
  bool escaped_ = false;
};

/// The members of one request that the server acts on, as views into its line.
struct Request {
  /// The "id" member's value as it stands in the line; "null" when it is absent or the request
  /// is no object.
  std::string_view id = "null";
  /// Whether the request is an object with an "id" member (which may be null).
  bool has_id = false;
  /// The "method" member when it is a string.
  std::optional<JsonString> method;
  /// "params"."name" when params is an object and the name a string; "" otherwise.
  JsonString tool_name;
  /// "params"."arguments"."query" when arguments is an object and the query a string; "" otherwise.
  JsonString query;
  /// Whether arguments is an object whose "query" is there but no string.
  bool query_not_a_string = false;
  /// "params"."protocolVersion" when params is an object and the version a string; "" otherwise.
  JsonString protocol_version;
  /// The value of "params"."_meta"."io.modelcontextprotocol/protocolVersion" as it stands in the
  /// line, when params and _meta are objects and it is there; empty otherwise.
  std::string_view requested_version;

  /// Appends the id in its compact form, the text the JSON writer gives its parsed value; a long
  /// structured one is handed to `spill`, when given, in parts as it is written.
  void write_id(std::string& out, const Spill& spill = Spill()) const;
};

/// Appends the compact form of `value`, a JSON value of a line read_request accepted, as the JSON
/// writer writes its parsed value; a long one is handed to `spill`, when given, in parts.
void write_compact(std::string_view value, std::string& out, const Spill& spill = Spill());

/// Returns the members of `line` when it is one valid request line, nothing otherwise. Repeated
/// members are read as the last occurrence; an escaped member name counts as its text.
[[nodiscard]] std::optional<Request> read_request(std::string_view line);

}  // namespace qmr::mcp
