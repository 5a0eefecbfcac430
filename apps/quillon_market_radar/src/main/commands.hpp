// The console commands: the banner, the price search report, the verification report, the
// import's summary and the daemon's announcement. Every line is written to standard output as soon
// as it is complete.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.hpp"
#include "engine/history_source.hpp"
#include "engine/market_engine.hpp"
#include "main/cli.hpp"

namespace qmr::main {

/// Prints the four banner lines.
void print_banner();

/// Prints the search report for `query`: the scan line, the match count and one row per match;
/// never fails.
[[nodiscard]] Status run_prices(const engine::EngineHandle& engine, std::string_view query);

/// Prints, for the first five products the search for `query` finds (in stored order; a line tells
/// how many more matched), its price history on its platform from `history` in lines of text and a
/// text chart of the last DEFAULT_HISTORY_DAYS days. Returns an error without a store (a null
/// `history`) or when the store cannot be read.
[[nodiscard]] Status run_price_histories(const engine::EngineHandle& engine,
                                         const engine::HistorySourceHandle& history,
                                         std::string_view query);

/// Runs the self-verification and prints its report; returns the verification's error unprinted.
[[nodiscard]] Status run_test(const engine::EngineHandle& engine);

/// Checks the store in the data folder `data` (its integrity, and that the snapshot every command
/// answers from holds each listing and finds it by its identifier) and prints what it found;
/// returns the store's error, or the check that failed, unprinted.
[[nodiscard]] Status run_store_test(const std::string& data);

/// Imports the command's files into its store and prints the summary (failed files on standard
/// error); returns an error when the store cannot be used or a file was not imported.
[[nodiscard]] Status run_import(const ImportCommand& command);

/// Prints the daemon's five status lines for `port`.
void print_daemon_lines(std::uint16_t port);

/// Returns `microseconds` / 1000 as the shortest decimal text without exponent ("1", "1.234").
[[nodiscard]] std::string format_milliseconds(double microseconds);

}  // namespace qmr::main
