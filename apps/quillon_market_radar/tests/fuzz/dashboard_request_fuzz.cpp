// Fuzzes the dashboard's handling of one read: whatever the bytes, the response is either silence
// (no request line with a method and a path) or one whole response whose framing is exact.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/market_engine.hpp"
#include "ui/request.hpp"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto engine = qmr::engine::MarketEngine::create();
  static const qmr::ui::FixedResponses fixed(engine);
  // One read never returns more than the buffer holds.
  if (size > qmr::ui::REQUEST_BUFFER_SIZE) size = qmr::ui::REQUEST_BUFFER_SIZE;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const auto line = qmr::ui::parse_request_line(bytes);
  std::string built;
  const std::string* response =
      qmr::ui::answer_first_read(bytes, engine, fixed, nullptr, built).response;
  require(line.has_value() == (response != nullptr));
  if (response == nullptr) return 0;

  const std::string_view text = *response;
  require(text.starts_with("HTTP/1.1 "));
  const auto head_end = text.find("\r\n\r\n");
  require(head_end != std::string_view::npos);
  const std::string_view head = text.substr(0, head_end + 2);
  const std::string_view body = text.substr(head_end + 4);

  const auto status_end = head.find("\r\n");
  const std::string_view status = head.substr(9, status_end - 9);
  require(status == "200 OK" || status == "400 BAD REQUEST" || status == "404 NOT FOUND" ||
          status == "500 ERROR");

  // The content type, the length in bytes of the body, the route's own header lines (a page of
  // the product list: its count and where the next page is), then the two fixed ones.
  const std::string_view headers = head.substr(status_end + 2);
  require(headers.starts_with("Content-Type: "));
  const auto type_end = headers.find("\r\n");
  const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  const std::string_view rest = headers.substr(type_end + 2);
  require(rest.starts_with(length));
  require(rest.ends_with("Access-Control-Allow-Origin: *\r\nConnection: close\r\n"));

  // A response depends only on the method and the path.
  const auto routed = qmr::ui::route_request(line->method, line->path, engine);
  require(routed.status == status);
  if (status == "404 NOT FOUND") require(body == "Not Found");
  return 0;
}
