// The dashboard page: one HTML document with its style and script inside. It loads nothing else;
// its figures are static text.
#pragma once

#include <string_view>

namespace qmr::ui {

/// The dashboard page served for GET "/": one HTML document with its style and script inside,
/// LF line ends and no final line break.
extern const std::string_view DASHBOARD_PAGE;

}  // namespace qmr::ui
