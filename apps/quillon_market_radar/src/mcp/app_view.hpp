// The market view that hosts rendering MCP Apps show beside a tool's answer: its address, its media
// type and the HTML document itself, built into the program from src/mcp/view/market_view.html
// (the source, app_view.cpp, is written at build time by src/mcp/view/embed_view.cmake).
#pragma once

#include <string_view>

namespace qmr::mcp {

/// The address the view is listed and read under.
inline constexpr std::string_view APP_VIEW_URI = "ui://quillon_market_radar/market_view.html";

/// The media type of an HTML view that speaks the hosts' dialect.
inline constexpr std::string_view APP_VIEW_MIME_TYPE = "text/html;profile=mcp-app";

/// The view: the bytes of market_view.html as they are in the source tree (UTF-8, LF line ends),
/// at most 24 KiB; the build stops when the file grows past that.
extern const std::string_view APP_VIEW_HTML;

/// The view served with a store: the same document with the price history card put in at build
/// time (src/mcp/view/history_card.html), at most 36 KiB.
extern const std::string_view STORE_VIEW_HTML;

}  // namespace qmr::mcp
