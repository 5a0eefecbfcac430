// The protocol revisions the tool server speaks and the extensions a client may declare, a table
// each, one row for every way they differ. A request is answered under one revision's row and the
// rows of the extensions its client declared; every rule reads those rows, and a new revision or
// extension is a new row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "mcp/app_view.hpp"

namespace qmr::mcp {

/// How a client comes to a revision.
enum class Era {
  HANDSHAKE,    // `initialize` asks for it, and the session keeps it for the requests after
  PER_REQUEST,  // each request names it in `params._meta`, for itself alone
};

/// A header of a POST that restates what its body holds.
enum class MirroredHeader {
  PROTOCOL_VERSION,  // MCP-Protocol-Version: the version in `_meta`
  METHOD,            // Mcp-Method: the method
  NAME,  // Mcp-Name: the tool a "tools/call" calls, the address a "resources/read" reads
};

/// One protocol revision, a row of REVISIONS.
struct Revision {
  std::string_view name;
  Era era;
  /// The methods answered with a fixed result; every revision also answers "tools/call".
  std::span<const std::string_view> fixed_methods;
  /// Tools with a title and annotations, every input schema with "properties" and the query
  /// described, and resources listed with a title.
  bool described_tools;
  /// Errors where the first revision answered as if all were well: -32602 for an unknown tool; a
  /// failed call ("isError") for a query that is no string; -32600 for a bad id or method (the
  /// INVALID_ID and NO_METHOD refusals of mcp/tool_server.hpp).
  bool protocol_errors;
  /// Results carrying the server's name and version in "_meta" and "resultType", and the fixed
  /// ones how long and by whom they may be cached.
  bool result_meta;
  /// Tool results with "structuredContent" beside their text where a tool has data for a view
  /// (the history tool's series): the member came with 2025-06-18.
  bool structured_content;
  /// A line that is not UTF-8 skipped like any invalid line, rather than ending the run (a host
  /// would only feed a restarted server the same line again).
  bool skips_invalid_utf8;
  /// The error code of a "resources/read" of an address that names no resource: -32002 until the
  /// per-request era, which made it Invalid Params.
  int missing_resource_code;
  // Over HTTP (mcp/http_transport.hpp), where each POST is one message:
  /// Whether a posted response (to a request of ours: we send none) is taken with 202 and no
  /// body, rather than refused as an Invalid Request (400).
  bool takes_posted_responses;
  /// The headers that must restate the body, in the order they are held to it: a request whose
  /// header is missing or differs gets -32020, Header mismatch (400).
  std::span<const MirroredHeader> mirrored_headers;
  /// The status of an answer that the method is not found: 200, or 404 for clients that tell it
  /// from an endpoint that is not there by the error in the body.
  int unknown_method_status;
};

inline constexpr std::string_view FIRST_METHODS[] = {"initialize", "tools/list", "ping"};
inline constexpr std::string_view HANDSHAKE_METHODS[] = {
    "initialize",  "tools/list", "ping", "resources/list", "resources/templates/list",
    "prompts/list"};
inline constexpr std::string_view PER_REQUEST_METHODS[] = {
    "server/discover", "tools/list", "resources/list", "resources/templates/list", "prompts/list"};
inline constexpr std::span<const MirroredHeader> NO_HEADER;
inline constexpr MirroredHeader EVERY_HEADER[] = {MirroredHeader::PROTOCOL_VERSION,
                                                  MirroredHeader::METHOD, MirroredHeader::NAME};

/// The revisions, oldest first. The first is a session's until an `initialize` negotiates
/// another, and what `initialize` gives a client asking for no version or one not in this table.
inline constexpr std::array REVISIONS = {
    // name, era, fixed methods, described tools, protocol errors, result _meta, structured
    // content, skips non-UTF-8, missing resource; over HTTP: takes posted responses, mirrored
    // headers, unknown method
    Revision{"2024-11-05", Era::HANDSHAKE, FIRST_METHODS, false, false, false, false, false, -32002,
             true, NO_HEADER, 200},
    Revision{"2025-06-18", Era::HANDSHAKE, HANDSHAKE_METHODS, true, true, false, true, true, -32002,
             true, NO_HEADER, 200},
    Revision{"2025-11-25", Era::HANDSHAKE, HANDSHAKE_METHODS, true, true, false, true, true, -32002,
             true, NO_HEADER, 200},
    Revision{"2026-07-28", Era::PER_REQUEST, PER_REQUEST_METHODS, true, true, true, true, true,
             -32602, false, EVERY_HEADER, 404},
};
// A version in `_meta` that no row serves is refused under the rules of the newest.
static_assert(REVISIONS.back().era == Era::PER_REQUEST, "the newest is served per request");

/// The version the HTTP transport takes a request without an MCP-Protocol-Version header to speak:
/// its fallback for clients from before the header. It is no row: we do not speak it, and answer
/// it as `initialize` answers a version not in the table, under the first revision.
inline constexpr std::string_view HEADERLESS_VERSION = "2025-03-26";

/// A resource an extension offers, listed by "resources/list" and read by "resources/read".
struct Resource {
  std::string_view uri;
  std::string_view name;
  std::string_view title;  // listed in the revisions with described tools
  std::string_view description;
  std::string_view mime_type;
  const std::string_view* text;        // what a read gives, built into the program
  const std::string_view* store_text;  // what it gives with a store (`--data`)
  std::string_view meta;  // JSON object text: its "_meta", on its listing and what is read
};

/// A protocol extension, a row of EXTENSIONS: how a client declares it, and what the answers of
/// any revision then gain.
struct Extension {
  /// Its key among the "extensions" of the client's capabilities and of the server's.
  std::string_view key;
  /// The media type a client declares it by, among the strings of that key's "mimeTypes".
  std::string_view media_type;
  /// The methods it adds to the fixed ones of the revision's row.
  std::span<const std::string_view> methods;
  /// JSON object text: members added to the "_meta" of every tool listed.
  std::string_view tool_meta;
  /// The resources it offers; with any, the capabilities declare "resources" too.
  std::span<const Resource> resources;
};

/// The view (mcp/app_view.hpp): listed and read, every tool pointing to it.
inline constexpr std::string_view VIEW_METHODS[] = {"resources/list", "resources/templates/list",
                                                    "resources/read"};
inline constexpr Resource VIEW_RESOURCES[] = {{
    APP_VIEW_URI,
    "market_view",
    "Market view",
    "The market tools' answers laid out: products in a table with a bar per price gap, review "
    "defects and a medicine's saving as bars; search, Refresh and Export CSV where the host "
    "allows them.",
    APP_VIEW_MIME_TYPE,
    &APP_VIEW_HTML,
    &STORE_VIEW_HTML,
    // A border, since the view paints a background of its own.
    R"({"ui":{"prefersBorder":true}})",
}};
// Every tool's answer is shown in the view; hosts of 2025 read the flat key only.
inline constexpr std::string_view VIEW_TOOL_META =
    R"({"ui":{"resourceUri":"ui://quillon_market_radar/market_view.html"},)"
    R"("ui/resourceUri":"ui://quillon_market_radar/market_view.html"})";
static_assert(VIEW_TOOL_META.find(APP_VIEW_URI) < VIEW_TOOL_META.rfind(APP_VIEW_URI),
              "both keys name the view's address");

/// The extensions, each declared by a client for its session (in `initialize`) or for one request
/// (in `_meta`). The UI extension has no settings on the server's side.
inline constexpr std::array EXTENSIONS = {
    // key, media type, methods, tool _meta, resources
    Extension{"io.modelcontextprotocol/ui", APP_VIEW_MIME_TYPE, VIEW_METHODS, VIEW_TOOL_META,
              VIEW_RESOURCES},
};

/// A set of rows of EXTENSIONS: those a client declared.
class ExtensionSet {
 public:
  [[nodiscard]] constexpr bool empty() const { return rows_ == 0; }
  [[nodiscard]] constexpr bool contains(std::size_t row) const { return (rows_ >> row & 1) != 0; }
  [[nodiscard]] constexpr bool contains(const Extension& extension) const {
    return contains(static_cast<std::size_t>(&extension - EXTENSIONS.data()));
  }
  constexpr void insert(std::size_t row) { rows_ |= Rows{1} << row; }
  constexpr void erase(std::size_t row) { rows_ &= ~(Rows{1} << row); }
  constexpr void clear() { rows_ = 0; }
  /// The set as a number below 2 to the number of rows, one bit per row.
  [[nodiscard]] constexpr std::size_t index() const { return rows_; }

  friend constexpr bool operator==(ExtensionSet, ExtensionSet) = default;

 private:
  using Rows = std::uint32_t;
  static_assert(EXTENSIONS.size() <= 8, "one bit per row, and 2^rows sets at most");
  Rows rows_ = 0;
};

/// What a request is answered under: a revision, and the extensions its client declared.
struct Terms {
  const Revision* revision = &REVISIONS.front();
  ExtensionSet extensions;
};

}  // namespace qmr::mcp
