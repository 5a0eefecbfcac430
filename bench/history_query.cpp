// The history of one product read from a store and described, as a process of its own, for
// bench/history to time against sqlite3 answering the same summary from the same file.
//   history_query DIR SKU_ASIN NOW_MICROS             prints the product's description
//   history_query DIR SKU_ASIN NOW_MICROS REPEATS     also times REPEATS reads and descriptions
//                                                     on one connection: median and p99 in us
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

// Reads and describes every platform's history of `sku_asin`; an empty text when there is none.
std::string describe(qmr::store::Database& store, const std::string& sku_asin, std::int64_t now) {
  auto histories = qmr::store::read_price_history(store, {sku_asin, {}, {}});
  if (!histories.ok()) {
    std::fprintf(stderr, "history_query: %s\n", histories.error().message.c_str());
    std::exit(1);
  }
  std::string text;
  for (const auto& stored : histories.value()) {
    qmr::engine::ProductHistory history{
        stored.sku_asin,           stored.title,
        stored.platform,           points(stored.ours),
        points(stored.competitor), {stored.floor_paise, stored.ceiling_paise}};
    text += qmr::engine::describe_history(history, now);
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fputs("usage: history_query DIR SKU_ASIN NOW_MICROS [REPEATS]\n", stderr);
    return 2;
  }
  auto store = qmr::store::open_store(argv[1]);
  if (!store.ok()) {
    std::fprintf(stderr, "history_query: %s\n", store.error().message.c_str());
    return 1;
  }
  const std::int64_t now = std::strtoll(argv[3], nullptr, 10);
  const std::string text = describe(store.value(), argv[2], now);
  if (text.empty()) {
    std::fprintf(stderr, "history_query: no history of %s\n", argv[2]);
    return 1;
  }
  std::fputs(text.c_str(), stdout);
  if (argc == 5) {
    const long repeats = std::max(1L, std::strtol(argv[4], nullptr, 10));
    std::vector<double> micros;
    for (long i = 0; i < repeats; ++i) {
      const auto start = std::chrono::steady_clock::now();
      const std::string again = describe(store.value(), argv[2], now);
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
