// The dashboard's pages: one HTML document each with its style and script inside. The demo's
// loads nothing else, its figures static text; the store's reads its figures from the API.
#pragma once

#include <string_view>

namespace qmr::ui {

/// The dashboard page served for GET "/": one HTML document with its style and script inside,
/// LF line ends and no final line break.
extern const std::string_view DASHBOARD_PAGE;

/// The page served for GET "/" from a seller's store (--data): the same kind of document, its
/// figures and rows read from GET /api/products and /api/medicines, an empty list said in words.
extern const std::string_view STORE_PAGE;

}  // namespace qmr::ui
