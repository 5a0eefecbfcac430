// The command line: five optional subcommands, parsed with their options into a plain `Cli` value.
// Help and version output and rejected command lines are finished here with their exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>

namespace qmr::main {

inline constexpr std::uint16_t DEFAULT_PORT = 7577;

struct UiCommand {
  std::uint16_t port = DEFAULT_PORT;
};
struct PricesCommand {
  std::string query;
};
struct DaemonCommand {
  std::uint16_t port = DEFAULT_PORT;
};
struct McpCommand {};
struct TestCommand {};

using Command = std::variant<UiCommand, PricesCommand, DaemonCommand, McpCommand, TestCommand>;

/// The whole parsed command line; no subcommand means the dashboard on the default port.
struct Cli {
  std::optional<Command> command;
};

/// What parsing gives: a command line to run, or the exit status of a run that the parser has
/// already finished (0 after help or version output, 2 after a rejected command line).
struct ParseOutcome {
  std::optional<Cli> cli;
  int exit_status = 0;
};

/// Parses the arguments (argv[0] is the program name). Help and version text go to `out`, error
/// messages and usage to `err`.
[[nodiscard]] ParseOutcome parse_command_line(int argc, const char* const* argv, std::ostream& out,
                                              std::ostream& err);

/// Returns the port a text names: decimal digits, optionally after one "+", at most 65535.
/// Leading zeros are decimal ("010" is 10); anything else gives nothing.
[[nodiscard]] std::optional<std::uint16_t> parse_port(std::string_view text);

}  // namespace qmr::main
