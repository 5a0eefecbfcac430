#include "ui/products_route.hpp"

#include <algorithm>
#include <iterator>

#include "base/json_writer.hpp"
#include "base/text.hpp"
#include "engine/records.hpp"

namespace qmr::ui {

namespace {

constexpr std::string_view STATUS_OK = "200 OK";
constexpr std::string_view STATUS_BAD_REQUEST = "400 BAD REQUEST";
constexpr std::string_view JSON = "application/json";

// Returns the value of a hexadecimal digit, or -1.
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] != '%') {
      out += text[i];
    } else {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = hex_value(text[i + 1]), low = hex_value(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    }
  }
  // The decoded bytes are read as the request line is: invalid UTF-8 becomes U+FFFD.
  return text::decode_utf8_lossy(out);
}

namespace {

// Appends `text` percent-encoded: every byte but the unreserved ones as "%XX".
void append_percent_encoded(std::string_view text, std::string& out) {
  constexpr std::string_view HEX = "0123456789ABCDEF";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += HEX[byte >> 4];
      out += HEX[byte & 15];
    }
  }
}

// Returns the whole number `text` writes in decimal digits alone when it is at most `most`.
std::optional<std::size_t> bounded_number(std::string_view text, std::size_t most) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::size_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  if (value > most) return std::nullopt;
  return value;
}

DashboardResponse bad_request(const std::string& reason) {
  return {std::string(STATUS_BAD_REQUEST), std::string(JSON),
          json::to_compact({{"error", reason}})};
}

}  // namespace

std::variant<ProductsRequest, std::string> parse_products_request(std::string_view query_string) {
  ProductsRequest request;
  bool seen[4] = {};
  constexpr std::string_view NAMES[] = {"q", "sort", "offset", "limit"};
  while (!query_string.empty()) {
    const std::size_t end = std::min(query_string.find('&'), query_string.size());
    const std::string_view pair = query_string.substr(0, end);
    query_string.remove_prefix(std::min(end + 1, query_string.size()));
    if (pair.empty()) continue;  // "a=1&&b=2", or a final "&"
    const std::size_t equals = std::min(pair.find('='), pair.size());
    const std::string_view name = pair.substr(0, equals);
    const auto value = percent_decode(pair.substr(std::min(equals + 1, pair.size())));
    std::size_t index = 0;
    while (index < std::size(NAMES) && NAMES[index] != name) ++index;
    if (index == std::size(NAMES)) {
      return "unknown parameter '" + text::decode_utf8_lossy(name) +
             "': the product list takes q, sort, offset and limit";
    }
    if (seen[index]) return "parameter '" + std::string(name) + "' given more than once";
    seen[index] = true;
    if (!value) return "parameter '" + std::string(name) + "' has a bad percent-encoding";
    if (name == "q") {
      request.query = *value;
    } else if (name == "sort") {
      std::string_view key = *value;
      request.descending = key.starts_with('-');
      if (request.descending) key.remove_prefix(1);
      const auto* found = std::find_if(std::begin(PRODUCT_SORT_KEYS), std::end(PRODUCT_SORT_KEYS),
                                       [&](const auto& row) { return row.first == key; });
      if (found == std::end(PRODUCT_SORT_KEYS)) {
        std::string known;
        for (const auto& [sort_name, order] : PRODUCT_SORT_KEYS) {
          known.append(known.empty() ? "" : ", ").append(sort_name);
        }
        return "sort must be one of " + known + ", or one of them after '-' for descending";
      }
      request.order = found->second;
      request.sort = *value;
    } else if (name == "offset") {
      const auto offset = bounded_number(*value, MAX_PAGE_OFFSET);
      if (!offset) {
        return "offset must be a whole number from 0 to " + std::to_string(MAX_PAGE_OFFSET);
      }
      request.offset = *offset;
    } else {
      const auto limit = bounded_number(*value, MAX_PAGE_LIMIT);
      if (!limit) return "limit must be a whole number from 0 to " + std::to_string(MAX_PAGE_LIMIT);
      request.limit = *limit;
    }
  }
  return request;
}

DashboardResponse products_response(const engine::EngineHandle& engine,
                                    std::optional<std::string_view> query_string) {
  ProductsRequest request;
  if (query_string) {
    auto parsed = parse_products_request(*query_string);
    if (auto* reason = std::get_if<std::string>(&parsed)) return bad_request(*reason);
    request = std::move(std::get<ProductsRequest>(parsed));
  }
  const engine::ProductPage page = engine->page_products(
      {request.query, request.order, request.descending, request.offset, request.limit});
  DashboardResponse response{std::string(STATUS_OK), std::string(JSON),
                             engine->encode_products_at(page.positions)};
  const std::size_t shown_to = std::min(request.offset, page.total) + page.positions.size();
  const bool more = shown_to < page.total;
  // A list of every product, asked for without parameters, is answered as it always was.
  if (!query_string && !more) return response;
  response.headers = "X-Total-Count: " + std::to_string(page.total) + "\r\n";
  // A limit of 0 asks for the count alone: there is no next page of nothing.
  if (more && request.limit != 0) {
    response.headers += "Link: <";
    response.headers += PRODUCTS_PATH;
    response.headers += "?offset=" + std::to_string(shown_to);
    response.headers += "&limit=" + std::to_string(request.limit);
    if (!request.query.empty()) {
      response.headers += "&q=";
      append_percent_encoded(request.query, response.headers);
    }
    if (!request.sort.empty()) {
      response.headers += "&sort=";
      append_percent_encoded(request.sort, response.headers);
    }
    response.headers += ">; rel=\"next\"\r\n";
  }
  response.headers += "Access-Control-Expose-Headers: X-Total-Count, Link\r\n";
  return response;
}

}  // namespace qmr::ui
