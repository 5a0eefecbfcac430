// The dashboard's pages: the fixed one of the seed catalogue, its two products and figures as
// static text, and the catalogue page of a seller's store, a paged, sortable and searchable table
// that reads its rows from GET "/api/products", with each product's price history and the
// alerts. Each is one HTML document with its style and script inside.
#pragma once

#include <string_view>

namespace qmr::ui {

/// The fixed dashboard page: one HTML document with its style and script inside, LF line ends and
/// no final line break.
extern const std::string_view DASHBOARD_PAGE;

/// The page served for GET "/" from a seller's store (--data): its count, rows and medicines read
/// from GET /api/products and /api/medicines, an empty store said in words; a product's price
/// history from GET /api/history under its row, and the newest alerts of GET /api/alerts.
extern const std::string_view CATALOGUE_PAGE;

}  // namespace qmr::ui
