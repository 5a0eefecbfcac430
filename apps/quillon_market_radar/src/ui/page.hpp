// The dashboard pages: the fixed one, with its two products and figures as static text, and the
// catalogue page of a store too large for them, a paged, sortable and searchable table that reads
// its rows from GET "/api/products". Each is one HTML document with its style and script inside.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qmr::ui {

/// The fixed dashboard page: one HTML document with its style and script inside, LF line ends and
/// no final line break.
extern const std::string_view DASHBOARD_PAGE;

/// The rows the fixed page shows.
inline constexpr std::size_t DASHBOARD_PAGE_ROWS = 2;

/// The rows of one page of the catalogue page's table.
inline constexpr std::size_t CATALOGUE_PAGE_ROWS = 50;

/// Returns the page served for GET "/" over `product_count` products: the fixed page while they
/// fit in the rows it shows, else the catalogue page, which names the count.
[[nodiscard]] std::string dashboard_page(std::size_t product_count);

}  // namespace qmr::ui
