// The tool server's path on the dashboard's port, without sockets: the head of an HTTP request
// read strictly, the checks that keep other sites and other users out (address, origin, token,
// method, media types, length), and the framing of every response on that path.
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
  CONTENT_LENGTH,
  TRANSFER_ENCODING,
  PROTOCOL_VERSION,  // MCP-Protocol-Version
  MCP_METHOD,
  MCP_NAME,
};
inline constexpr std::size_t FIELD_COUNT = 10;

/// The head of a request: its request line and the values of the fields of `Field` (without the
/// white space around them), as views into the bytes it was read from. Other fields are skipped.
struct HttpHead {
  std::string_view method;
  std::string_view target;
  std::array<std::optional<std::string_view>, FIELD_COUNT> fields;
  std::size_t size = 0;  // bytes up to and including the blank line

  [[nodiscard]] const std::optional<std::string_view>& operator[](Field field) const {
    return fields[static_cast<std::size_t>(field)];
  }
};

enum class HeadState : std::uint8_t { INCOMPLETE, COMPLETE, MALFORMED };

/// Reads the head at the start of `bytes` into `head`. Returns INCOMPLETE while no blank line has
/// arrived, MALFORMED for a request line other than `METHOD SP TARGET SP HTTP/d.d`, a field line
/// without a token name and a colon, a control character in a value, a folded line, or a field of
/// `Field` given twice. Lines end in CRLF or a bare LF; names are matched without regard to case.
[[nodiscard]] HeadState parse_head(std::string_view bytes, HttpHead& head);

/// What a tool-server request needs next.
struct ToolProgress {
  enum class Next : std::uint8_t { SEND, READ_HEAD, READ_BODY };
  Next next = Next::SEND;
  /// With READ_BODY: the bytes of the head and its body together.
  std::size_t request_size = 0;
};

/// The tool server's path for a dashboard bound to one port: the checks and the framing, and
/// the endpoint behind them. Immutable, so any loop may use it at once.
class ToolPath {
 public:
  ToolPath(ToolServerOptions options, std::uint16_t port);

  /// Returns what the request in `bytes` (what has been read of it so far) needs: more of its
  /// head, more of its body, or nothing more, with the whole framed response in `response` then.
  /// The checks run in this order: the head's form and size (400, 431), Host (403), Origin (403),
  /// the preflight of an allowed origin (204), the token (401), the method (405), Content-Type
  /// (415), Accept (406), the length (411, 400, 413); a request that passes them all is handed
  /// to the endpoint once its body is whole.
  [[nodiscard]] ToolProgress answer(std::string_view bytes, std::string& response) const;

  /// Returns the framed 503 refusal of a request the dashboard has no room to read the body of.
  [[nodiscard]] std::string busy_response(std::string_view bytes) const;

 private:
  ToolServerOptions options_;
  std::array<std::string, 2> hosts_;  // 127.0.0.1:PORT, localhost:PORT
};

}  // namespace qmr::ui
