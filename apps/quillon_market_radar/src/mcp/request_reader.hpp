// The one reader of the tool server's input: it says what a valid request line is and keeps what
// the server acts on. A line is valid when it is exactly one JSON value (RFC 8259), JSON white
// space around it and nothing else, with these limits: at most MAX_NESTING_DEPTH levels of arrays
// and objects, every number finite as a double, strings of well-formed UTF-8 with paired
// surrogate escapes (so no byte-order mark and no NUL byte anywhere). Nothing is built for a
// valid line: the fields kept are views into it, so a plain request costs no allocation and a
// line of megabytes no more than its own bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "mcp/json_text.hpp"
#include "mcp/revisions.hpp"

namespace qmr::mcp {

/// The deepest nesting of arrays and objects a line may hold; one level more makes it invalid.
inline constexpr std::size_t MAX_NESTING_DEPTH = 127;

/// The members of one request that the server acts on, as views into its line.
struct Request {
  /// The "id" member's value as it stands in the line; "null" when it is absent or the request
  /// is no object.
  std::string_view id = "null";
  /// Whether the request is an object at all, rather than an array or a plain value.
  bool is_object = false;
  /// Whether the request is an object with an "id" member (which may be null).
  bool has_id = false;
  /// Whether that id is a string or an integer (see is_integer), the only ids a revision with
  /// protocol errors answers.
  bool id_is_string_or_integer = false;
  /// The "method" member when it is a string.
  std::optional<JsonString> method;
  /// Whether the request is an object with a "result" or an "error" member: with an id and no
  /// method, a response rather than a request.
  bool has_result_or_error = false;
  // The members of "params" from here on, read afresh from each one. A JsonString field holds its
  // member when params (and for the query, arguments) is an object and the member a string; ""
  // otherwise.
  /// "params"."name".
  JsonString tool_name;
  /// "params"."arguments"."query".
  JsonString query;
  /// Whether arguments is an object whose "query" is there but no string.
  bool query_not_a_string = false;
  /// "params"."arguments"."sku_asin" and "platform", the history tool's product.
  JsonString sku_asin;
  JsonString platform;
  /// The value of "params"."arguments"."days" as it stands in the line, whatever it is; empty
  /// when it is not there.
  std::string_view days;
  /// "params"."protocolVersion", the version an `initialize` asks for.
  JsonString handshake_version;
  /// The value of "params"."_meta"."io.modelcontextprotocol/protocolVersion", the version a request
  /// names for itself, as it stands in the line, whatever it is; empty when it is not there.
  std::string_view meta_version_value;
  /// That value when it is a string.
  std::optional<JsonString> meta_version;
  /// "params"."uri", the address a "resources/read" asks for, when it is a string.
  std::optional<JsonString> resource_uri;
  /// The extensions "params"."capabilities", what an `initialize` says the client can do,
  /// declares: those of EXTENSIONS whose key in its "extensions" holds "mimeTypes", an array with
  /// the row's media type (compared as decoded text, exactly) among any others. Each member on
  /// that path must be an object, the last of a repeated name counting.
  ExtensionSet declared;
  /// The extensions "params"."_meta"."io.modelcontextprotocol/clientCapabilities", what a request
  /// of the per-request era says its client can do, declares in the same way.
  ExtensionSet meta_declared;
};

/// Returns the members of `line` when it is one valid request line, nothing otherwise. Repeated
/// members are read as the last occurrence; an escaped member name counts as its text.
[[nodiscard]] std::optional<Request> read_request(std::string_view line);

}  // namespace qmr::mcp
