#include "main/cli.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "version.hpp"

namespace qmr::main {

namespace {

constexpr std::string_view SCHEME_CHARACTERS =
    "+-.0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Returns an error message when `text` is not an origin as a browser sends one in its Origin
// header: a scheme of letters, digits, "+", "-" and ".", "://", and a host with an optional port,
// without a path, white space or anything after; empty when it is one.
std::string origin_problem(std::string_view text) {
  const auto separator = text.find("://");
  const bool scheme =
      separator != 0 &&
      text.substr(0, separator).find_first_not_of(SCHEME_CHARACTERS) == std::string_view::npos;
  const std::string_view host =
      separator == std::string_view::npos ? "" : text.substr(separator + 3);
  // No path, query or fragment, no user name, and nothing a header line cannot carry.
  const bool bad_host =
      host.empty() || std::ranges::any_of(host, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte >= 0x7F || c == '/' || c == '?' || c == '#' || c == '@';
      });
  if (scheme && !bad_host) return {};
  return "invalid origin '" + std::string(text) +
         "': expected SCHEME://HOST or SCHEME://HOST:PORT, as a browser sends it";
}

// Adds `-p, --port PORT` with the default "7577", checked as a decimal 16-bit port, then `--mcp`,
// `--mcp-allow-origin ORIGIN` (repeatable) and `--mcp-token-file PATH`. The two options need
// `--mcp` rather than imply it: an origin or a token given for a tool server that is off is a
// mistake better told than served.
void add_serving_options(CLI::App& command, std::uint16_t& port, McpOverHttp& mcp) {
  command
      .add_option_function<std::string>(
          "-p,--port", [&port](const std::string& text) { port = *parse_port(text); })
      ->type_name("PORT")
      ->default_val("7577")
      ->check(
          [](const std::string& text) -> std::string {
            if (parse_port(text)) return {};
            return "invalid port '" + text + "': expected a decimal number from 0 to 65535";
          },
          "PORT");
  auto* on = command.add_flag(
      "--mcp", mcp.on,
      "Also serve the MCP tool server over HTTP: POST /mcp on the same loopback port");
  command
      .add_option("--mcp-allow-origin", mcp.allowed_origins,
                  "Let browser pages of ORIGIN (e.g. http://localhost:6274) call /mcp; repeatable")
      ->type_name("ORIGIN")
      ->allow_extra_args(false)  // one origin per option: a second word is no origin of it
      ->check([](const std::string& text) { return origin_problem(text); }, "ORIGIN")
      ->needs(on);
  command
      .add_option_function<std::string>(
          "--mcp-token-file", [&mcp](const std::string& path) { mcp.token_file = path; },
          "Require the token in PATH as Authorization: Bearer on every /mcp request "
          "(the file must not be readable by other users)")
      ->type_name("PATH")
      ->needs(on);
}

// Adds every spelling ("--query", "-q") of the options of `command` and its subcommands that take
// a value to `spellings`.
void collect_value_options(const CLI::App& command, std::set<std::string>& spellings) {
  for (const CLI::Option* option : command.get_options()) {
    if (option->get_items_expected_max() == 0) continue;  // a flag
    for (const auto& name : option->get_lnames()) spellings.insert("--" + name);
    for (const auto& name : option->get_snames()) spellings.insert("-" + name);
  }
  for (const CLI::App* sub : command.get_subcommands({})) collect_value_options(*sub, spellings);
}

// Returns the arguments after the program name in the reversed order CLI11 parses them, with an
// option that takes a value written "--name=" split into "--name" and an empty word. CLI11 2.1
// reads an empty attached value as no value at all and then takes the next word instead, so
// "--query= noise" would search "noise" and "--port= 8081" listen on 8081; split, the empty
// word is the value, as "--query ''" gives it. A word in the place of an option's value, or after
// "--", is a value or a positional word and stays as it is.
std::vector<std::string> arguments_for_parser(const CLI::App& app, int argc,
                                              const char* const* argv) {
  std::set<std::string> spellings;
  collect_value_options(app, spellings);
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(argc));
  bool value_next = false, positional_only = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (value_next || positional_only) {
      value_next = false;
    } else if (word == "--") {
      positional_only = true;
    } else if (spellings.count(word) != 0) {
      value_next = true;
    } else if (word.starts_with("--") && word.back() == '=' &&
               spellings.count(word.substr(0, word.size() - 1)) != 0) {
      args.push_back(word.substr(0, word.size() - 1));
      word.clear();
    }
    args.push_back(std::move(word));
  }
  return {args.rbegin(), args.rend()};
}

}  // namespace

Result<std::string> token_from_file(std::string_view contents, std::string_view path) {
  if (contents.size() > TOKEN_FILE_LIMIT) {
    return Error{std::string(path) + " holds more than " + std::to_string(TOKEN_FILE_LIMIT) +
                 " bytes: a token is one line"};
  }
  contents = contents.substr(0, contents.find_last_not_of("\r\n") + 1);  // npos + 1 is 0
  if (contents.empty()) return Error{std::string(path) + " is empty: it must hold the token"};
  if (std::ranges::any_of(contents, [](char c) { return c <= ' ' || c >= '\x7F'; })) {
    return Error{std::string(path) +
                 " holds a byte other than visible ASCII: the token must fit in a header"};
  }
  return std::string(contents);
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

ParseOutcome parse_command_line(int argc, const char* const* argv, std::ostream& out,
                                std::ostream& err) {
  CLI::App app(
      "Quillon Market & Retail Intelligence - Competitor Price Tracker, Review Defect Miner & "
      "Brand Sentiment Radar (10-in-1 Zero-Cloud E-Commerce Weapon)",
      "quillon_market_radar");
  app.footer("Author: Varnel AI Labs");
  app.set_version_flag("-V,--version", "quillon_market_radar " + std::string(VERSION));
  app.require_subcommand(0, 1);

  UiCommand ui_command;
  PricesCommand prices_command;
  DaemonCommand daemon_command;
  std::vector<std::string> help_topics;

  auto* ui = app.add_subcommand("ui", "Launch the Zero-Electron Web HUD Dashboard");
  add_serving_options(*ui, ui_command.port, ui_command.mcp);
  auto* prices = app.add_subcommand("prices", "Search tracked products by keyword or ASIN");
  prices->add_option("-q,--query", prices_command.query)->type_name("QUERY")->required();
  auto* daemon = app.add_subcommand("daemon", "Run 24x7 background market sentinel daemon");
  add_serving_options(*daemon, daemon_command.port, daemon_command.mcp);
  auto* mcp = app.add_subcommand("mcp", "Run in Stdio JSON-RPC 2.0 AI MCP Server Mode");
  auto* test =
      app.add_subcommand("test", "Run comprehensive 10-in-1 end-to-end verification tests");
  ImportCommand import_command;
  auto* import = app.add_subcommand(
      "import", "Import marketplace listing reports and competitor prices into a data folder");
  import->add_option("--data", import_command.data, "The data folder of the store (market.db)")
      ->type_name("DIR")
      ->required();
  import->add_flag("--dry-run", import_command.dry_run, "Read and check the files; write nothing");
  import->add_flag("--strict", import_command.strict,
                   "Import a file with any rejected row not at all");
  import->add_option("files", import_command.files, "Files to import; - reads standard input")
      ->type_name("FILE")
      ->required();
  auto* help =
      app.add_subcommand("help", "Print this message or the help of the given subcommand(s)");
  help->add_option("subcommand", help_topics)->type_name("COMMAND");

  try {
    app.parse(arguments_for_parser(app, argc, argv));
  } catch (const CLI::ParseError& error) {
    // CLI11 prints help and version to `out` and errors to `err`; its own codes are 104 and up.
    const int code = app.exit(error, out, err);
    return {std::nullopt, code == 0 ? 0 : 2};
  }

  if (help->parsed()) {
    const CLI::App* topic = &app;
    for (const auto& name : help_topics) {
      const auto found =
          topic->get_subcommands([&name](const CLI::App* sub) { return sub->get_name() == name; });
      if (found.empty()) {
        err << "unrecognized subcommand '" << name << "'\n"
            << "Run with --help for more information.\n";
        return {std::nullopt, 2};
      }
      topic = found.back();
    }
    // App::help() would describe the parsed "help" subcommand itself; ask the formatter directly.
    const std::string name =
        topic == &app ? app.get_name() : app.get_name() + " " + topic->get_name();
    out << app.get_formatter()->make_help(topic, name, CLI::AppFormatMode::Normal);
    return {std::nullopt, 0};
  }

  // At most one subcommand is parsed.
  Cli cli;
  if (ui->parsed()) cli.command = std::move(ui_command);
  if (prices->parsed()) cli.command = std::move(prices_command);
  if (daemon->parsed()) cli.command = std::move(daemon_command);
  if (mcp->parsed()) cli.command = McpCommand{};
  if (test->parsed()) cli.command = TestCommand{};
  if (import->parsed()) cli.command = std::move(import_command);
  return {std::move(cli), 0};
}

}  // namespace qmr::main
