#include "ui/request.hpp"

#include "base/text.hpp"
#include "ui/products_route.hpp"

namespace qmr::ui {

namespace {

// The GET routes whose responses are the same for every request to one snapshot: the status
// object reports the snapshot's counts but not the listening port.
constexpr std::string_view FIXED_GET_PATHS[] = {"/", "/api/status", "/api/products",
                                                "/api/medicines"};

bool is_product_page(const RequestLine& line) {
  return line.method == "GET" && line.path.size() > PRODUCTS_PATH.size() &&
         line.path.starts_with(PRODUCTS_PATH) && line.path[PRODUCTS_PATH.size()] == '?';
}

// Returns the bytes of the request line `bytes_read` begins with: those before the first LF, less
// a CR right before it.
std::string_view request_line_bytes(std::string_view bytes_read) {
  std::string_view line = bytes_read;
  if (const auto line_feed = line.find('\n'); line_feed != std::string_view::npos) {
    line = line.substr(0, line_feed);
    if (line.ends_with('\r')) line.remove_suffix(1);
  }
  return line;
}

}  // namespace

std::optional<RequestLine> parse_request_line(std::string_view bytes_read) {
  // An LF byte is never part of an invalid sequence, so cutting the line before decoding gives
  // the same text as decoding first, without decoding headers nobody reads.
  const std::string text = text::decode_utf8_lossy(request_line_bytes(bytes_read));
  const auto tokens = text::split_white_space(text, 2);
  if (tokens.size() < 2) return std::nullopt;
  return RequestLine{std::string(tokens[0]), std::string(tokens[1])};
}

std::string frame_response(const DashboardResponse& response) {
  std::string out;
  out.reserve(128 + response.status.size() + response.content_type.size() +
              response.headers.size() + response.body.size());
  out.append("HTTP/1.1 ").append(response.status).append("\r\nContent-Type: ");
  out.append(response.content_type).append("\r\nContent-Length: ");
  out.append(std::to_string(response.body.size())).append("\r\n").append(response.headers);
  out.append("Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n").append(response.body);
  return out;
}

FixedResponses::FixedResponses(const engine::EngineHandle& engine, std::string_view page) {
  for (const auto path : FIXED_GET_PATHS) {
    responses_.emplace_back(path, frame_response(route_request("GET", path, engine, page)));
  }
}

const std::string* FixedResponses::find(const RequestLine& line) const {
  if (line.method != "GET") return nullptr;
  for (const auto& [path, response] : responses_) {
    if (line.path == path) return &response;
  }
  return nullptr;
}

std::shared_ptr<const std::string> FixedResponses::recall(std::string_view bytes_read) const {
  const std::string_view line = request_line_bytes(bytes_read);
  for (const auto& [asked, response] : pages_) {
    if (asked == line) return response;
  }
  return nullptr;
}

std::shared_ptr<const std::string> FixedResponses::remember(std::string_view bytes_read,
                                                            const RequestLine& line,
                                                            std::string& framed) const {
  if (!is_product_page(line) || framed.size() > KEPT_PAGE_BYTES) return nullptr;
  auto page = std::make_shared<const std::string>(std::move(framed));
  std::string asked(request_line_bytes(bytes_read));
  if (pages_.size() < KEPT_PAGES) {
    pages_.emplace_back(std::move(asked), page);
  } else {
    pages_[oldest_page_] = {std::move(asked), page};
    oldest_page_ = (oldest_page_ + 1) % KEPT_PAGES;
  }
  return page;
}

FirstReadOutcome answer_first_read(std::string_view bytes_read, const engine::EngineHandle& engine,
                                   const FixedResponses& fixed, ToolRequest* tool_request,
                                   std::string& built, const engine::HistorySource* history) {
  using Next = FirstReadOutcome::Next;
  // A whole request ends in a line feed: only a read that does not can end inside its first line.
  if (tool_request != nullptr && !bytes_read.ends_with('\n') &&
      bytes_read.size() < REQUEST_BUFFER_SIZE && may_begin_tool_request_line(bytes_read)) {
    return {nullptr, Next::READ_LINE, 0, {}};
  }
  // A kept page's request line was parsed once, found neither fixed nor the tool server's, and
  // answered through the routes: the same bytes would be again.
  if (auto kept = fixed.recall(bytes_read)) return {kept.get(), Next::SEND, 0, std::move(kept)};
  const auto line = parse_request_line(bytes_read);
  if (!line) return {};
  if (const std::string* response = fixed.find(*line)) return {response, Next::SEND, 0, {}};
  if (tool_request != nullptr && tool_request->serves(line->path)) {
    const ToolProgress progress = tool_request->answer(bytes_read, built);
    if (progress.next != ToolProgress::Next::SEND) return {nullptr, Next::READ_TOOL_REQUEST, 0, {}};
    return {&built, Next::SEND, unread(progress, bytes_read.size()), {}};
  }
  built = frame_response(route_request(line->method, line->path, engine, DASHBOARD_PAGE, history));
  if (auto kept = fixed.remember(bytes_read, *line, built)) {
    return {kept.get(), Next::SEND, 0, std::move(kept)};
  }
  return {&built, Next::SEND, 0, {}};
}

}  // namespace qmr::ui
