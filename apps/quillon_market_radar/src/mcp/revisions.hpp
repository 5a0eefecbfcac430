// The protocol revisions the tool server speaks, one row each with every way they differ. Every
// rule that depends on the revision reads these rows; a new revision is a new row.
#pragma once

#include <array>
#include <span>
#include <string_view>

namespace qmr::mcp {

/// How a client comes to a revision.
enum class Era {
  HANDSHAKE,    // `initialize` asks for it, and the session keeps it for the requests after
  PER_REQUEST,  // each request names it in `params._meta`, for itself alone
};

/// One protocol revision, a row of REVISIONS.
struct Revision {
  std::string_view name;
  Era era;
  /// The methods answered with a fixed result; every revision also answers "tools/call".
  std::span<const std::string_view> fixed_methods;
  /// Tools with a title and annotations, every input schema with "properties" and the query
  /// described, and the view listed with a title.
  bool described_tools;
  /// Errors where the first revision answered as if all were well: -32602 for an unknown tool; a
  /// failed call ("isError") for a query that is no string; -32600 for a bad id or method (the
  /// INVALID_ID and NO_METHOD refusals of mcp/tool_server.hpp).
  bool protocol_errors;
  /// Results carrying the server's name and version in "_meta" and "resultType", and the fixed
  /// ones how long and by whom they may be cached.
  bool result_meta;
  /// A line that is not UTF-8 skipped like any invalid line, rather than ending the run (a host
  /// would only feed a restarted server the same line again).
  bool skips_invalid_utf8;
  /// The error code of a "resources/read" of an address that names no resource: -32002 until the
  /// per-request era, which made it Invalid Params.
  int missing_resource_code;
};

inline constexpr std::string_view FIRST_METHODS[] = {"initialize", "tools/list", "ping"};
inline constexpr std::string_view HANDSHAKE_METHODS[] = {
    "initialize",  "tools/list", "ping", "resources/list", "resources/templates/list",
    "prompts/list"};
inline constexpr std::string_view PER_REQUEST_METHODS[] = {
    "server/discover", "tools/list", "resources/list", "resources/templates/list", "prompts/list"};

/// What a client that declares the view (the MCP Apps extension, mcp/app_view.hpp) gets in any
/// revision beside the fixed methods of its row: the view listed and read. A "resources/read" of
/// the view's address has a fixed result; any other address gets the row's missing-resource error.
inline constexpr std::string_view VIEW_METHODS[] = {"resources/list", "resources/templates/list",
                                                    "resources/read"};

/// The revisions, oldest first. The first is a session's until an `initialize` negotiates
/// another, and what `initialize` gives a client asking for no version or one not in this table.
inline constexpr std::array REVISIONS = {
    // name, era, fixed methods, described tools, protocol errors, result _meta, skips non-UTF-8,
    // missing resource
    Revision{"2024-11-05", Era::HANDSHAKE, FIRST_METHODS, false, false, false, false, -32002},
    Revision{"2025-06-18", Era::HANDSHAKE, HANDSHAKE_METHODS, true, true, false, true, -32002},
    Revision{"2025-11-25", Era::HANDSHAKE, HANDSHAKE_METHODS, true, true, false, true, -32002},
    Revision{"2026-07-28", Era::PER_REQUEST, PER_REQUEST_METHODS, true, true, true, true, -32602},
};

/// The version the HTTP transport takes a request without an MCP-Protocol-Version header to speak:
/// its fallback for clients from before the header. It is no row: we do not speak it, and answer
/// it as `initialize` answers a version not in the table, under the first revision.
inline constexpr std::string_view HEADERLESS_VERSION = "2025-03-26";

}  // namespace qmr::mcp
