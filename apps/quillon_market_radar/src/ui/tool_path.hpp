// The tool server's path on the dashboard's port, without sockets: the head of an HTTP request
// read strictly as it arrives, the checks that keep other sites and other users out (address,
// origin, token, method, media types, length), the room a body takes in its loop's budget, and the
// framing of every response on that path. Every status of the path is decided here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/tool_server_call.hpp"

namespace qmr::ui {

/// The path the tool server answers on, when it is on.
inline constexpr std::string_view TOOL_SERVER_PATH = "/mcp";
/// The most a request's head may take, its blank line included; a longer head gets 431.
inline constexpr std::size_t TOOL_HEAD_LIMIT = 8192;
/// The largest body a request may declare; a larger one gets 413 before any of it is read.
inline constexpr std::size_t TOOL_BODY_LIMIT = 1024 * 1024;

/// What the runtime gives the dashboard to serve the tool server on its port.
struct ToolServerOptions {
  /// Replies to the messages that pass every check; empty when the tool server is off.
  ToolServerEndpoint endpoint;
  /// Origins allowed besides the dashboard's own (`http://127.0.0.1:PORT`,
  /// `http://localhost:PORT`), each compared byte for byte.
  std::vector<std::string> allowed_origins;
  /// When set, every request must carry `Authorization: Bearer` and this token.
  std::optional<std::string> token;
};

/// The header fields the tool server's path reads, by the index of their value in `HttpHead`.
enum class Field : std::uint8_t {
  HOST,
  ORIGIN,
  AUTHORIZATION,
  CONTENT_TYPE,
  ACCEPT,
  EXPECT,
  CONTENT_LENGTH,
  TRANSFER_ENCODING,
  PROTOCOL_VERSION,  // MCP-Protocol-Version
  MCP_METHOD,
  MCP_NAME,
};
inline constexpr std::size_t FIELD_COUNT = 11;

/// The head of a request as far as it has been read: its request line and the values of the
/// fields of `Field` (without the white space around them), as views into the bytes it was read
/// from. Other fields are skipped.
struct HttpHead {
  std::string_view method;
  std::string_view target;
  std::string_view version;  // HTTP/d.d
  std::array<std::optional<std::string_view>, FIELD_COUNT> fields;
  std::size_t size = 0;  // bytes up to and including the blank line, once it has arrived
  std::size_t read = 0;  // bytes of the whole lines read so far: where reading goes on

  [[nodiscard]] const std::optional<std::string_view>& operator[](Field field) const {
    return fields[static_cast<std::size_t>(field)];
  }
};

enum class HeadState : std::uint8_t { INCOMPLETE, COMPLETE, MALFORMED };

/// Reads on the head at the start of `bytes` into `head` from `head.read`, the bytes before it
/// being those `head` was read from: each line is read once, when it has arrived whole. Returns
/// INCOMPLETE while no blank line has arrived, MALFORMED for a request line other than
/// `METHOD SP TARGET SP HTTP/d.d` (a target of visible ASCII: a tab or any other white space ends
/// no target but the request), a field line without a token name and a colon, a control
/// character in a value, a folded line, or a field of `Field` given twice. Lines end in CRLF or a
/// bare LF; names are matched without regard to case.
[[nodiscard]] HeadState read_head(std::string_view bytes, HttpHead& head);

/// What a tool-server request needs next.
struct ToolProgress {
  enum class Next : std::uint8_t { SEND, READ_HEAD, READ_BODY };
  Next next = Next::SEND;
  /// With READ_BODY: the bytes of the head and its body together. With SEND of the refusal of a
  /// body too large (413): the bytes of the head and the body it declared.
  std::size_t request_size = 0;
  /// With READ_BODY: the client waits for CONTINUE before it sends the body (`Expect:
  /// 100-continue` in HTTP/1.1, none of the body read yet).
  bool awaits_continue = false;
};

/// The interim response that lets a client that expects it send its body.
inline constexpr std::string_view CONTINUE = "HTTP/1.1 100 Continue\r\n\r\n";

/// Returns the bytes of a request that `progress` has counted and that are still to come when
/// `read` have been read: of its body, or of a body too large.
[[nodiscard]] inline std::size_t unread(const ToolProgress& progress, std::size_t read) {
  return progress.request_size > read ? progress.request_size - read : 0;
}

/// Returns whether `bytes`, a read without a line feed, may be the start of a request line to the
/// tool server's path: a method, or the start of one, then maybe a space and the start of
/// TOOL_SERVER_PATH, or of a target in absolute form (`http://`, in any case, and no space after
/// it yet). Such a read is read on until the line is whole.
[[nodiscard]] bool may_begin_tool_request_line(std::string_view bytes);

/// The bytes of tool-server requests one loop may hold at once for bodies still to come, and
/// those it holds.
struct ToolBudget {
  std::size_t limit = 0;
  std::size_t held = 0;
};

/// The tool server's path for a dashboard bound to one port: the checks and the framing, and
/// the endpoint behind them. Immutable, so any loop may use it at once; a request on it is read
/// by a ToolRequest.
class ToolPath {
 public:
  ToolPath(ToolServerOptions options, std::uint16_t port);

 private:
  friend class ToolRequest;

  [[nodiscard]] bool is_own_host(std::string_view host) const;

  // Returns READ_BODY and the size of the request with the whole `head` (its head and body
  // together) once the head passed every check, or SEND with the refusal in `response`.
  ToolProgress check(const HttpHead& head, std::string& response) const;

  ToolServerOptions options_;
  std::array<std::string, 2> hosts_;  // 127.0.0.1:PORT, localhost:PORT
};

/// One request on a tool path, read as it arrives: each line of its head is read once however
/// many reads it takes, and the checks run once, when the head is whole. While its body is still
/// to come, the request holds room for all of it in its loop's budget, until it goes.
class ToolRequest {
 public:
  ToolRequest(const ToolPath& path, ToolBudget& budget) : path_(path), budget_(budget) {}
  ToolRequest(const ToolRequest&) = delete;
  ToolRequest& operator=(const ToolRequest&) = delete;
  ~ToolRequest() { budget_.held -= held_; }

  /// Returns what the request needs, `bytes` being all of it read so far (those of the last call
  /// and more): more of its head, more of its body, or nothing more, with the whole framed
  /// response in `response` then (to HEAD, without its content). The checks run in this order:
  /// the head's form and size (400, 431), the target (404 unless `serves` is true of it), Host
  /// (403; in absolute form the target's authority is checked instead, and a Host field is
  /// ignored), Origin (403), the preflight of an allowed origin (204), the token (401),
  /// the method (405), Content-Type (415), Accept (406), the length (411, 400, 413), room in the
  /// budget for a body still to come (503); a request that passes them all is handed to the
  /// endpoint once its body is whole.
  [[nodiscard]] ToolProgress answer(std::string_view bytes, std::string& response);

  /// Returns whether a request target is the tool server's: TOOL_SERVER_PATH, or that path in
  /// absolute form naming our address or name and port (`http://127.0.0.1:PORT/mcp`; scheme and
  /// host in any case).
  [[nodiscard]] bool serves(std::string_view target) const;

  /// Tells the request that the bytes it was given so far now stand at `to` rather than `from`.
  void moved(const char* from, const char* to);

 private:
  const ToolPath& path_;
  ToolBudget& budget_;
  HttpHead head_;
  std::size_t size_ = 0;  // once the head passed every check: the head and body together
  std::size_t held_ = 0;  // room held in the budget
};

}  // namespace qmr::ui
