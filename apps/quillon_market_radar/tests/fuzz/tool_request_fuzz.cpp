// Fuzzes the tool server's path on the dashboard: whatever the bytes read so far, and read at once
// or in two parts alike, it asks for more of the head (never past its limit) or of a body (never
// past 1 MiB), or gives one whole response whose framing is exact (to HEAD, without content),
// that never allows every origin, and that reaches the endpoint only for a request to our own
// address with the token and exactly the declared body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ui/tool_path.hpp"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

constexpr std::string_view ENDPOINT_BODY = R"({"jsonrpc":"2.0","id":1,"result":{}})";

// The body the endpoint was last handed, and whether it was called.
std::string handed;
bool called = false;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qmr::ui::ToolPath tools(
      {[](const qmr::ToolServerCall& call) {
         handed = std::string(call.body);
         called = true;
         return qmr::ToolServerReply{200, std::string(ENDPOINT_BODY)};
       },
       {"http://localhost:6274"},
       std::string("t0ken")},
      7577);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  called = false;
  std::string response;
  qmr::ui::ToolBudget budget{SIZE_MAX};
  qmr::ui::ToolRequest request(tools, budget);
  const auto progress = request.answer(bytes, response);
  // Read in two parts, cut where the first byte says, the request comes to the same.
  const std::size_t cut = size == 0 ? 0 : data[0] % size;
  qmr::ui::ToolRequest in_parts(tools, budget);
  std::string parts_response;
  auto parts = in_parts.answer(bytes.substr(0, cut), parts_response);
  if (parts.next != qmr::ui::ToolProgress::Next::SEND) {
    parts = in_parts.answer(bytes, parts_response);
  }
  require(parts.next == progress.next && parts.request_size == progress.request_size &&
          parts.awaits_continue == progress.awaits_continue && parts_response == response);
  using Next = qmr::ui::ToolProgress::Next;
  if (progress.next == Next::READ_HEAD) {
    require(size < qmr::ui::TOOL_HEAD_LIMIT && !called && !progress.awaits_continue);
    return 0;
  }
  if (progress.next == Next::READ_BODY) {
    require(progress.request_size > size && !called);
    require(progress.request_size <= qmr::ui::TOOL_HEAD_LIMIT + qmr::ui::TOOL_BODY_LIMIT);
    return 0;
  }

  const std::string_view text = response;
  require(text.starts_with("HTTP/1.1 "));
  const auto head_end = text.find("\r\n\r\n");
  require(head_end != std::string_view::npos);
  const std::string_view head = text.substr(0, head_end + 2);
  const std::string_view body = text.substr(head_end + 4);
  require(head.find("Access-Control-Allow-Origin: *") == std::string_view::npos);
  require(head.ends_with("\r\nVary: Origin\r\nConnection: close\r\n"));
  // Only a complete head can show HEAD, and then what would be the content is not sent.
  qmr::ui::HttpHead parsed;
  const bool complete = qmr::ui::read_head(bytes, parsed) == qmr::ui::HeadState::COMPLETE;
  const bool to_head = complete && parsed.method == "HEAD";
  require(!to_head || body.empty());
  if (!head.starts_with("HTTP/1.1 204 ") && !to_head) {
    require(head.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n") !=
            std::string_view::npos);
  }
  if (!called) return 0;

  // The endpoint's reply as the response, for a request that named us and carried the token and its
  // body.
  require(head.starts_with("HTTP/1.1 200 OK\r\n") && body == ENDPOINT_BODY && complete);
  using qmr::ui::Field;
  // In absolute form the target names the host, and ends in the path.
  std::string_view host = parsed.target;
  if (host.starts_with('/')) {
    require(host == "/mcp");
    host = parsed[Field::HOST].value();
  } else {
    require(host.size() > 11 && host.ends_with("/mcp"));
    host = host.substr(7, host.size() - 11);
  }
  require(host.size() == 14 || host.size() == 14 + 2);  // 127.0.0.1:7577 or localhost:7577
  require(host.ends_with(":7577"));
  require(parsed[Field::AUTHORIZATION].value().ends_with("t0ken"));
  require(parsed.method == "POST");
  const std::string_view length = parsed[Field::CONTENT_LENGTH].value();
  require(handed == bytes.substr(parsed.size, std::stoul(std::string(length))));
  return 0;
}
