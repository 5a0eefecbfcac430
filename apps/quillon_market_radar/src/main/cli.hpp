// The command line: six optional subcommands, parsed with their options into a plain `Cli` value.
// Help and version output and rejected command lines are finished here with their exit status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/result.hpp"

namespace qmr::main {

inline constexpr std::uint16_t DEFAULT_PORT = 7577;

/// The tool server on the dashboard's port (`--mcp` and the options that go with it).
struct McpOverHttp {
  bool on = false;
  std::vector<std::string> allowed_origins;  // --mcp-allow-origin, in the order given
  std::optional<std::string> token_file;     // --mcp-token-file
};

/// `--data DIR`: the data folder whose store a command answers from; none is the demo catalogue.
using DataFolder = std::optional<std::string>;

/// `--alert-percent P`: how far below our price a competitor must go for a drop alert.
inline constexpr double DEFAULT_ALERT_PERCENT = 5;

struct UiCommand {
  std::uint16_t port = DEFAULT_PORT;
  McpOverHttp mcp;
  DataFolder data;
  double alert_percent = DEFAULT_ALERT_PERCENT;
};
struct PricesCommand {
  std::string query;
  DataFolder data;
  bool history = false;  // --history: each match's price history from the store
};
/// `daemon`: the dashboard as `ui` serves it, announced by the daemon's lines.
struct DaemonCommand : UiCommand {};
struct McpCommand {
  DataFolder data;
  double alert_percent = DEFAULT_ALERT_PERCENT;
};
struct TestCommand {
  DataFolder data;
};
/// `import --data DIR [--dry-run] [--strict] FILE...`: the seller's files into the store in DIR.
struct ImportCommand {
  std::string data;
  bool dry_run = false;
  bool strict = false;
  std::vector<std::string> files;  // "-" is standard input
};

using Command =
    std::variant<UiCommand, PricesCommand, DaemonCommand, McpCommand, TestCommand, ImportCommand>;

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

/// The most bytes a token file may hold.
inline constexpr std::size_t TOKEN_FILE_LIMIT = 1024;

/// Returns the token of a token file's `contents`: the text less its trailing line breaks (LF
/// or CR). An error names `path` when the token is empty, longer than TOKEN_FILE_LIMIT, or holds
/// a byte other than visible ASCII, which no header could carry.
[[nodiscard]] Result<std::string> token_from_file(std::string_view contents, std::string_view path);

/// Returns the port a text names: decimal digits, optionally after one "+", at most 65535.
/// Leading zeros are decimal ("010" is 10); anything else gives nothing.
[[nodiscard]] std::optional<std::uint16_t> parse_port(std::string_view text);

/// The placeholder the assistant bundles' manifests put after `--data` for the user's data folder.
inline constexpr std::string_view BUNDLE_DATA_FOLDER = "${user_config.data_folder}";

/// Returns the arguments `argv` holds less a `--data` whose value is BUNDLE_DATA_FOLDER itself: a
/// host that has no folder for it passes the placeholder as it stands (the bundle tool's own
/// substitution does), and no folder means the demo, as without `--data`.
[[nodiscard]] std::vector<const char*> without_unset_bundle_folder(int argc,
                                                                   const char* const* argv);

}  // namespace qmr::main
