// The dashboard without sockets: from the bytes of a connection's first read to the bytes of its
// response (the request line, the routes, the framing, the responses that never change, framed
// once). Everything here is pure and works without a network.
//
// The words of this layer and the server's: a request is answered with a response (the bytes on
// the wire); the tool server's endpoint replies to a message (ToolServerReply), and the tool path
// frames the reply as a response; the tool path refuses a request with a refusal, a response
// with an error status, before the endpoint sees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/market_engine.hpp"
#include "ui/routes.hpp"
#include "ui/tool_path.hpp"

namespace qmr::ui {

/// The most a connection's first read takes. A dashboard request is judged from that read, or with
/// the tool server on, when it ends inside a request line that may yet be the tool server's, from
/// the reads that make the line whole; a tool-server request reads on (ToolRequest).
inline constexpr std::size_t REQUEST_BUFFER_SIZE = 4096;

/// Returns the method and path from the bytes of a connection's one read: the bytes decoded as
/// UTF-8 (each maximal invalid subpart becomes U+FFFD), the text before the first LF (less a CR
/// right before it) split at runs of Unicode white space. Returns nothing when that line holds
/// fewer than two tokens.
[[nodiscard]] std::optional<RequestLine> parse_request_line(std::string_view bytes_read);

/// Returns the response as it goes on the wire: status line, the content type and length, the
/// response's own header lines, the two fixed header lines, an empty line and the body.
[[nodiscard]] std::string frame_response(const DashboardResponse& response);

/// The framed responses of the GET routes that are the same on every request to one snapshot: the
/// page, the status object and the two lists. Built once per snapshot through the routes
/// themselves, so each is byte for byte what a request would be answered with.
class FixedResponses {
 public:
  /// Built from `engine`, with `page` for GET "/".
  explicit FixedResponses(const engine::EngineHandle& engine,
                          std::string_view page = DASHBOARD_PAGE);

  /// Returns the framed response to `line`, or null when its response is built per request.
  [[nodiscard]] const std::string* find(const RequestLine& line) const;

  /// Returns the framed response to the request `bytes_read` begins with when its request line is
  /// byte for byte that of a page of the product list answered lately, else null. The pages are
  /// kept by one event loop: only its thread calls this and `remember`.
  [[nodiscard]] std::shared_ptr<const std::string> recall(std::string_view bytes_read) const;
  /// Keeps `framed`, the response to `line`, the request line of `bytes_read`, when `line` asks
  /// for a page of the product list and it is small, in place of the page kept longest, and
  /// returns it; else null, `framed` left.
  std::shared_ptr<const std::string> remember(std::string_view bytes_read, const RequestLine& line,
                                              std::string& framed) const;

 private:
  std::vector<std::pair<std::string_view, std::string>> responses_;
  // A snapshot never changes, so neither do its pages: the ones asked for last are kept, a
  // dashboard's first page and the sorts a seller clicks through among them, each under the
  // request line's bytes it was asked with. Equal bytes parse alike, so a page asked for again is
  // found without parsing its request line (a third of the instructions a request took).
  static constexpr std::size_t KEPT_PAGES = 16;
  static constexpr std::size_t KEPT_PAGE_BYTES = 64 * 1024;
  mutable std::vector<std::pair<std::string, std::shared_ptr<const std::string>>> pages_;
  mutable std::size_t oldest_page_ = 0;
};

/// What the dashboard answers from: one snapshot, and its fixed responses; and the store's
/// history, read per request, when there is a store.
struct Answering {
  engine::EngineHandle engine;
  FixedResponses fixed;
  engine::HistorySourceHandle history{};
};

/// What a connection's first read leads to.
struct FirstReadOutcome {
  enum class Next : std::uint8_t {
    SEND,               // the response, or with none, closing without one
    READ_LINE,          // more of the request line, then all that was read is answered again
    READ_TOOL_REQUEST,  // the rest of the tool-server request, read by the ToolRequest
  };
  /// The whole framed response (one of `fixed`'s, `kept` or `built`) with SEND; null for none.
  const std::string* response = nullptr;
  Next next = Next::SEND;
  /// With a refusal of a body too large (413): the bytes of it the client has still to send,
  /// which the connection reads and drops (within its bounds) so that the client, still
  /// sending, gets to read the refusal.
  std::size_t unread_body = 0;
  /// A page of the product list kept by `fixed`, held until it is sent.
  std::shared_ptr<const std::string> kept;
};

/// Answers the bytes of a connection's first read with a response: one of `fixed`'s, or one built
/// into `built`. With `tool_request` set (the tool server is on), a request line whose target it
/// serves goes to `tool_request`, which may read on, and bytes that end inside a request
/// line that may yet be the tool server's (may_begin_tool_request_line) read on to its end. No
/// request line with a method and a path: SEND without a response, and the connection is closed.
/// `bytes_read` must leave room for more to be read (fewer than REQUEST_BUFFER_SIZE bytes) for
/// READ_LINE to be asked for. `history` is the store's, for the history routes.
[[nodiscard]] FirstReadOutcome answer_first_read(std::string_view bytes_read,
                                                 const engine::EngineHandle& engine,
                                                 const FixedResponses& fixed,
                                                 ToolRequest* tool_request, std::string& built,
                                                 const engine::HistorySource* history = nullptr);

}  // namespace qmr::ui
