// The dashboard's pages, each one HTML document with its style and script inside, LF line ends and
// no final line break.
#pragma once

#include <string_view>

namespace qmr::ui {

/// The fixed page: the seed catalogue's two products and figures as static text.
extern const std::string_view DASHBOARD_PAGE;

/// The page served for GET "/" from a seller's store (--data): a paged, sortable and searchable
/// table, its count, rows and medicines read from GET /api/products and /api/medicines, an empty
/// store said in words; a product's price history from GET /api/history under its row, and the
/// newest alerts of GET /api/alerts.
extern const std::string_view CATALOGUE_PAGE;

}  // namespace qmr::ui
