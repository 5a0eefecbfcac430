// The console commands: the banner, the price search report, the verification report, the
// import's summary and the daemon's announcement. Every line is written to standard output as soon
// as it is complete.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.hpp"
#include "engine/market_engine.hpp"
#include "main/cli.hpp"

namespace qmr::main {

/// Prints the four banner lines.
void print_banner();

/// Prints the search report for `query`: the scan line, the match count and one row per match;
/// never fails.
[[nodiscard]] Status run_prices(const engine::EngineHandle& engine, std::string_view query);

/// Runs `prices`: the search report, or with `--history`, for the first five products the search
/// finds (in stored order; a line tells how many more matched), its price history on its platform
/// in lines of text and a text chart of the last DEFAULT_HISTORY_DAYS days. Returns the store's
/// error, or one for `--history` without `--data`.
[[nodiscard]] Status run(const PricesCommand& prices);

/// Runs `test`: the seed catalogue's verification, or with `--data` the check of that store (its
/// integrity, and that the snapshot every command answers from holds each listing and finds it by
/// its identifier), and prints the report; returns the failed check's error unprinted.
[[nodiscard]] Status run(const TestCommand& test);

/// Runs `import`: the command's files into its store, then the summary (failed files on standard
/// error); returns an error when the store cannot be used or a file was not imported.
[[nodiscard]] Status run(const ImportCommand& command);

/// Prints the daemon's five status lines for `port`.
void print_daemon_lines(std::uint16_t port);

/// Returns `microseconds` / 1000 as the shortest decimal text without exponent ("1", "1.234").
[[nodiscard]] std::string format_milliseconds(double microseconds);

}  // namespace qmr::main
