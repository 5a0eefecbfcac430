#include "ui/products_route.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <vector>

#include "base/text.hpp"

namespace qmr::ui {

namespace {

constexpr std::string_view STATUS_OK = "200 OK";
constexpr std::string_view JSON = "application/json";

// The sort keys a request may name (each record field, and "price_gap"), ascending, or descending
// with a leading "-".
constexpr std::pair<std::string_view, engine::ProductOrder> SORT_KEYS[] = {
    {"sku_asin", engine::ProductOrder::SKU_ASIN},
    {"title", engine::ProductOrder::TITLE},
    {"platform", engine::ProductOrder::PLATFORM},
    {"original_price_inr", engine::ProductOrder::ORIGINAL_PRICE},
    {"current_price_inr", engine::ProductOrder::CURRENT_PRICE},
    {"competitor_price_inr", engine::ProductOrder::COMPETITOR_PRICE},
    {"price_delta_percent", engine::ProductOrder::PRICE_DELTA},
    {"price_gap", engine::ProductOrder::PRICE_GAP},
    {"stock_status", engine::ProductOrder::STOCK_STATUS},
    {"last_checked_utc", engine::ProductOrder::LAST_CHECKED},
};

// A request for a page of products, as its query string names it.
struct ProductsRequest {
  std::string query;  // q, percent-decoded; empty: every product
  std::string sort;   // sort as given ("" for the stored order), for the next page's link
  engine::ProductOrder order = engine::ProductOrder::STORED;
  bool descending = false;
  PageRequest page;
};

// Appends "&`name`=" and `value` percent-encoded (every byte but the unreserved ones as "%XX"),
// unless `value` is empty.
void append_parameter(std::string_view name, std::string_view value, std::string& out) {
  constexpr std::string_view HEX = "0123456789ABCDEF";
  if (!value.empty()) out.append("&").append(name).append("=");
  for (const char c : value) {
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

// Returns `text` with each "%XX" decoded and each "+" a space, as a form encodes it, invalid UTF-8
// read as U+FFFD; nothing for a "%" without two hexadecimal digits after it.
std::optional<std::string> percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] != '%') {
      out += text[i];
    } else {
      unsigned char byte = 0;
      const char* digits = text.data() + i + 1;
      if (i + 2 >= text.size() || std::from_chars(digits, digits + 2, byte, 16).ptr != digits + 2) {
        return std::nullopt;
      }
      out += static_cast<char>(byte);
      i += 2;
    }
  }
  // The decoded bytes are read as the request line is: invalid UTF-8 becomes U+FFFD.
  return text::decode_utf8_lossy(out);
}

}  // namespace

std::optional<std::string> read_parameters(
    std::string_view query_string, std::span<const std::string_view> names, std::string_view list,
    const std::function<std::optional<std::string>(std::size_t, const std::string&)>& take,
    bool decode_names) {
  std::vector<bool> seen(names.size());
  std::string decoded_name;
  while (!query_string.empty()) {
    const std::size_t end = std::min(query_string.find('&'), query_string.size());
    const std::string_view pair = query_string.substr(0, end);
    query_string.remove_prefix(std::min(end + 1, query_string.size()));
    if (pair.empty()) continue;  // "a=1&&b=2", or a final "&"
    const std::size_t equals = std::min(pair.find('='), pair.size());
    std::string_view name = pair.substr(0, equals);
    if (decode_names) name = decoded_name = percent_decode(name).value_or("");
    const auto value = percent_decode(pair.substr(std::min(equals + 1, pair.size())));
    const auto found = std::find(names.begin(), names.end(), name);
    if (found == names.end()) {
      std::string known;
      for (std::size_t i = 0; i < names.size(); ++i) {
        known.append(i == 0 ? "" : i + 1 == names.size() ? " and " : ", ").append(names[i]);
      }
      return "unknown parameter '" + text::decode_utf8_lossy(name) + "': " + std::string(list) +
             " takes " + known;
    }
    const auto index = static_cast<std::size_t>(found - names.begin());
    if (seen[index]) return "parameter '" + std::string(name) + "' given more than once";
    seen[index] = true;
    if (!value) return "parameter '" + std::string(name) + "' has a bad percent-encoding";
    if (auto refused = take(index, *value)) return refused;
  }
  return std::nullopt;
}

std::optional<std::string> read_page_parameter(std::string_view name, std::string_view value,
                                               PageRequest& page) {
  const bool offset = name == "offset";
  const std::size_t most = offset ? MAX_PAGE_OFFSET : MAX_PAGE_LIMIT;
  std::size_t number = 0;  // in decimal digits alone
  const char* const end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, number);
  if (value.size() > 10 || stop != end || error != std::errc() || number > most) {
    return std::string(name) + " must be a whole number from 0 to " + std::to_string(most);
  }
  (offset ? page.offset : page.limit) = number;
  return std::nullopt;
}

std::string page_headers(std::string_view path, std::size_t total, const PageRequest& page,
                         std::size_t shown, std::string_view more_query) {
  const std::size_t shown_to = std::min(page.offset, total) + shown;
  std::string headers = "X-Total-Count: " + std::to_string(total) + "\r\n";
  // A limit of 0 asks for the count alone: there is no next page of nothing.
  if (shown_to < total && page.limit != 0) {
    headers += "Link: <";
    headers += path;
    headers += "?offset=" + std::to_string(shown_to);
    headers += "&limit=" + std::to_string(page.limit);
    headers += more_query;
    headers += ">; rel=\"next\"\r\n";
  }
  headers += "Access-Control-Expose-Headers: X-Total-Count, Link\r\n";
  return headers;
}

DashboardResponse products_response(const engine::EngineHandle& engine,
                                    std::optional<std::string_view> query_string) {
  ProductsRequest request;
  constexpr std::string_view NAMES[] = {"q", "sort", "offset", "limit"};
  const auto refused = read_parameters(
      query_string.value_or(""), NAMES, "the product list",
      [&](std::size_t index, const std::string& value) -> std::optional<std::string> {
        if (index == 0) {
          request.query = value;
          return std::nullopt;
        }
        if (index > 1) return read_page_parameter(NAMES[index], value, request.page);
        std::string_view key = value;
        request.descending = key.starts_with('-');
        if (request.descending) key.remove_prefix(1);
        const auto* found = std::find_if(std::begin(SORT_KEYS), std::end(SORT_KEYS),
                                         [&](const auto& row) { return row.first == key; });
        if (found == std::end(SORT_KEYS)) {
          std::string known;
          for (const auto& [sort_name, order] : SORT_KEYS) {
            known.append(known.empty() ? "" : ", ").append(sort_name);
          }
          return "sort must be one of " + known + ", or one of them after '-' for descending";
        }
        request.order = found->second;
        request.sort = value;
        return std::nullopt;
      });
  if (refused) return error_response("400 BAD REQUEST", *refused);
  const auto& [offset, limit] = request.page;
  const engine::ProductPage page =
      engine->page_products({request.query, request.order, request.descending, offset, limit});
  DashboardResponse response{std::string(STATUS_OK), std::string(JSON),
                             engine->encode_products_at(page.positions)};
  const bool more = std::min(offset, page.total) + page.positions.size() < page.total;
  // A list of every product, asked for without parameters, is answered as it always was.
  if (!query_string && !more) return response;
  std::string more_query;
  append_parameter("q", request.query, more_query);
  append_parameter("sort", request.sort, more_query);
  response.headers =
      page_headers(PRODUCTS_PATH, page.total, request.page, page.positions.size(), more_query);
  return response;
}

}  // namespace qmr::ui
