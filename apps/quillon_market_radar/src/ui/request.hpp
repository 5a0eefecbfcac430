// The dashboard without sockets: from the bytes of a connection's one read to the bytes of its
// answer (the request line, the routes, the framing, the answers that never change, framed once).
// Everything here is pure and works without a network.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/market_engine.hpp"
#include "ui/routes.hpp"
#include "ui/tool_path.hpp"

namespace qmr::ui {

/// The most a connection reads: its request is judged from one read of at most this many bytes.
inline constexpr std::size_t REQUEST_BUFFER_SIZE = 4096;

/// Returns the method and path from the bytes of a connection's one read: the bytes decoded as
/// UTF-8 (each maximal invalid subpart becomes U+FFFD), the text before the first LF (less a CR
/// right before it) split at runs of Unicode white space. Returns nothing when that line holds
/// fewer than two tokens.
[[nodiscard]] std::optional<RequestLine> parse_request_line(std::string_view bytes_read);

/// Returns the response as it goes on the wire: status line, the four fixed header lines with the
/// body's length in bytes, an empty line and the body.
[[nodiscard]] std::string frame_response(const DashboardResponse& response);

/// The framed answers of the GET routes that are the same on every request: the page, the fixed
/// status object and the two lists of a store that nothing writes after seeding. Built once
/// through the routes themselves, so each is byte for byte what a request would be answered with.
class FixedResponses {
 public:
  explicit FixedResponses(const engine::EngineHandle& engine);

  /// Returns the framed answer to `line`, or null when its answer is built per request.
  [[nodiscard]] const std::string* find(const RequestLine& line) const;

 private:
  std::vector<std::pair<std::string_view, std::string>> responses_;
};

/// What a connection's first read leads to.
struct FirstReadAnswer {
  /// The whole framed answer (one of `fixed`'s, or `built`); null when there is none yet.
  const std::string* response = nullptr;
  /// True for a request to the tool server's path that needs more bytes than the first read.
  bool reads_on = false;
};

/// Returns the answer to the bytes of a connection's first read: one of `fixed`'s, or one built
/// into `built`; with `tools` set, a request line whose target `tools` serves goes to `tools`.
/// Neither an answer nor `reads_on` (no request line with a method and a path): the connection is
/// closed without an answer.
[[nodiscard]] FirstReadAnswer answer_first_read(std::string_view bytes_read,
                                                const engine::EngineHandle& engine,
                                                const FixedResponses& fixed, const ToolPath* tools,
                                                std::string& built);

}  // namespace qmr::ui
