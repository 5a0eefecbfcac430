// Test and bench helper: serves the dashboard, as `ui -p PORT` does, over a catalogue of COUNT
// generated listings (titles of brands and kinds, both platforms, repeated prices, a listing
// without a competitor's price every seventh), for the page and the product list at the size of a
// real seller's catalogue. Like a store whose prices were never imported twice, it keeps no price
// history: the catalogue page's history and alerts routes answer with none.
//   generated_dashboard COUNT PORT
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/loop_pool.hpp"
#include "engine/history_source.hpp"
#include "engine/market_engine.hpp"
#include "ui/listener.hpp"
#include "ui/page.hpp"
#include "ui/server.hpp"

namespace {

constexpr std::string_view BRANDS[] = {"Noise", "boAt",      "Fire-Boltt", "Mivi",
                                       "pTron", "Zebronics", "Portronics", "Ambrane"};
constexpr std::string_view KINDS[] = {"Smart Watch", "TWS Earbuds",       "Neckband",
                                      "Power Bank",  "Bluetooth Speaker", "USB-C Cable",
                                      "Wall Charger"};

qmr::engine::Catalogue generated(std::size_t count) {
  qmr::engine::Catalogue rows;
  rows.products.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const double ours = 299.0 + static_cast<double>((i * 37) % 4000);
    const bool competitor = i % 7 != 3;
    const double theirs = competitor ? ours * (0.8 + static_cast<double>(i % 41) / 100.0) : 0.0;
    const double delta = competitor ? std::round((ours - theirs) / theirs * 10000.0) / 100.0 : 0.0;
    std::string sku = "SKU-";
    sku += std::to_string(100000 + i);
    std::string title(BRANDS[i % std::size(BRANDS)]);
    title.append(" ").append(KINDS[(i / 3) % std::size(KINDS)]).append(" ");
    title += std::to_string(i % 1000);
    rows.products.push_back(
        {std::move(sku), std::move(title), i % 2 == 0 ? "Amazon.in" : "Flipkart", ours * 1.25, ours,
         theirs, delta, i % 11 == 0 ? "LOW_STOCK" : "IN_STOCK", "2026-12-07T13:21:01+00:00"});
  }
  return rows;
}

bool parse(std::string_view text, std::size_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = 0, port = 0;
  if (argc != 3 || !parse(argv[1], count) || !parse(argv[2], port) || port > 65535) {
    std::fprintf(stderr, "usage: generated_dashboard COUNT PORT\n");
    return 2;
  }
  const auto engine = qmr::engine::MarketEngine::from_catalogue(generated(count));
  auto history = std::make_shared<qmr::engine::HistorySource>();
  history->read = [](const std::string&, const std::optional<std::string>&, std::int64_t, int) {
    return qmr::Result(std::vector<qmr::engine::HistoryView>());
  };
  history->read_alerts = [](std::int64_t, std::int64_t) {
    return qmr::Result(std::vector<qmr::engine::ProductAlerts>());
  };
  history->now = [] { return std::int64_t{1'796'774'400'000'000}; };  // 2026-12-09T00:00:00Z
  qmr::LoopPool loops(qmr::ui::dashboard_loops(2));
  int status = 0;
  auto serve = [&]() -> asio::awaitable<void> {
    const qmr::Status served = co_await qmr::ui::serve_dashboard(
        engine, static_cast<std::uint16_t>(port), loops, {}, {}, qmr::ui::CATALOGUE_PAGE, history);
    if (!served.ok()) {
      std::fprintf(stderr, "Error: %s\n", served.error().message.c_str());
      status = 1;
    }
  };
  asio::co_spawn(loops.loop(0), serve(), [&](const std::exception_ptr&) { loops.stop(); });
  if (!loops.run().ok()) return 1;
  return status;
}
