// GET "/api/products": the parameters of a page of products (a search, an order, an offset and a
// limit) read from the query string, and the response with the page and the headers that say
// how many matched and where the next page starts.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/market_engine.hpp"
#include "ui/routes.hpp"

namespace qmr::ui {

/// The path of the product list.
inline constexpr std::string_view PRODUCTS_PATH = "/api/products";

/// Reads the parameters of `query_string` (the text after "?", without it): calls `take` with the
/// index in `names` and the percent-decoded value of each, and returns the reason the query
/// string names nothing good: an unknown parameter (the message says that `list` takes `names`),
/// a repeated one, a bad percent-encoding, or the reason `take` returns. With `decode_names`, a
/// parameter's name is percent-decoded before it is looked up (one that cannot be is unknown).
[[nodiscard]] std::optional<std::string> read_parameters(
    std::string_view query_string, std::span<const std::string_view> names, std::string_view list,
    const std::function<std::optional<std::string>(std::size_t, const std::string&)>& take,
    bool decode_names = false);

/// Where a page of a list starts, and the most it holds.
struct PageRequest {
  std::size_t offset = 0;
  std::size_t limit = DEFAULT_PAGE_LIMIT;
};

/// Reads "offset" (0 to MAX_PAGE_OFFSET) or "limit" (0 to MAX_PAGE_LIMIT) `value` into `page`;
/// returns the reason it is no such number.
[[nodiscard]] std::optional<std::string> read_page_parameter(std::string_view name,
                                                             std::string_view value,
                                                             PageRequest& page);

/// Returns the header lines of a page of `total` rows at `path` that shows `shown` of them from
/// `page.offset`: "X-Total-Count", and when later rows are left out and the limit is not 0, a
/// "Link" to the next page, its query string followed by `more_query` ("&q=..." or "").
[[nodiscard]] std::string page_headers(std::string_view path, std::size_t total,
                                       const PageRequest& page, std::size_t shown,
                                       std::string_view more_query);

/// Returns the response to GET "/api/products" with the query string `query_string` (nothing for
/// a path without "?"). Without one, every product when they fit in a default page (the bytes the
/// list has always been), else the first default page. A page that leaves products out, and
/// every response to a query string, carries "X-Total-Count" with the number of matches; one
/// that leaves later products out carries a "Link" to the next page. A bad query string gets
/// "400 BAD REQUEST" with a JSON error object.
[[nodiscard]] DashboardResponse products_response(const engine::EngineHandle& engine,
                                                  std::optional<std::string_view> query_string);

}  // namespace qmr::ui
