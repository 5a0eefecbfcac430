// The history of one product read from a store and described, as a process of its own, for
// bench/history to time against sqlite3 answering the same summary from the same file.
//   history_query DIR SKU_ASIN NOW_MICROS             prints the product's description
//   history_query DIR SKU_ASIN NOW_MICROS REPEATS     also times REPEATS reads and descriptions
//                                                     on one connection: median and p99 in us
//   history_query DIR SKU_ASIN NOW_MICROS REPEATS every
//                                   the same, reading every observation and describing them with
//                                   the pure functions rather than through the daily roll-up
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/history_source.hpp"
#include "engine/price_history.hpp"
#include "store/history.hpp"
#include "store/store.hpp"

namespace {

std::vector<qmr::engine::PricePoint> points(const std::vector<qmr::store::ObservedPrice>& series) {
  std::vector<qmr::engine::PricePoint> out;
  out.reserve(series.size());
  for (const auto& point : series) out.push_back({point.at, point.paise});
  return out;
}

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "history_query: %s\n", message.c_str());
  std::exit(1);
}

// Reads and describes every platform's history of `sku_asin` as the surfaces do, through the
// store's daily roll-up, or from `every` observation; an empty text when there is none.
std::string describe(qmr::store::Database& store, const std::string& sku_asin, std::int64_t now,
                     bool every) {
  std::string text;
  if (every) {
    auto histories = qmr::store::read_price_history(store, {sku_asin, {}, {}});
    if (!histories.ok()) fail(histories.error().message);
    for (const auto& stored : histories.value()) {
      qmr::engine::ProductHistory history{
          stored.sku_asin,           stored.title,
          stored.platform,           points(stored.ours),
          points(stored.competitor), {stored.floor_paise, stored.ceiling_paise}};
      text += qmr::engine::describe_history(history, now);
    }
    return text;
  }
  auto views = qmr::store::read_history_views(store, {sku_asin, {}, {}}, now,
                                              qmr::engine::DEFAULT_HISTORY_DAYS, {});
  if (!views.ok()) fail(views.error().message);
  for (const auto& view : views.value()) text += qmr::engine::describe_history(view);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const bool every = argc == 6 && std::string(argv[5]) == "every";
  if (argc < 4 || argc > 6 || (argc == 6 && !every)) {
    std::fputs("usage: history_query DIR SKU_ASIN NOW_MICROS [REPEATS [every]]\n", stderr);
    return 2;
  }
  auto store = qmr::store::open_store(argv[1]);
  if (!store.ok()) {
    std::fprintf(stderr, "history_query: %s\n", store.error().message.c_str());
    return 1;
  }
  const std::int64_t now = std::strtoll(argv[3], nullptr, 10);
  const std::string text = describe(store.value(), argv[2], now, every);
  if (text.empty()) {
    std::fprintf(stderr, "history_query: no history of %s\n", argv[2]);
    return 1;
  }
  std::fputs(text.c_str(), stdout);
  if (argc >= 5) {
    const long repeats = std::max(1L, std::strtol(argv[4], nullptr, 10));
    std::vector<double> micros;
    for (long i = 0; i < repeats; ++i) {
      const auto start = std::chrono::steady_clock::now();
      const std::string again = describe(store.value(), argv[2], now, every);
      micros.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
      if (again != text) return 1;
    }
    std::sort(micros.begin(), micros.end());
    std::printf("in process: median %.1f us, p99 %.1f us over %ld reads and descriptions\n",
                micros[micros.size() / 2], micros[micros.size() * 99 / 100], repeats);
  }
  return 0;
}
