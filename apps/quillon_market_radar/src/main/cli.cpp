#include "main/cli.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "base/text.hpp"
#include "version.hpp"

namespace qmr::main {

namespace {

constexpr std::string_view SCHEME_CHARACTERS =
    "+-.0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The schemes of the web, whose origins a browser writes with the host in lower case and without
// the scheme's default port.
struct WebScheme {
  std::string_view name;
  std::uint16_t default_port;
};
constexpr WebScheme WEB_SCHEMES[] = {
    {"ftp", 21}, {"http", 80}, {"https", 443}, {"ws", 80}, {"wss", 443}};

// Rewrites `text` as a browser writes that origin in its Origin header, or returns an error
// message when it is none: a scheme of letters, digits, "+", "-" and ".", "://", and a host
// with an optional decimal port, without a path, white space or anything after. The scheme is
// written in lower case, and for the schemes of the web the host too and the port as a number,
// left out when it is the scheme's default: the Origin a browser sends is compared byte for byte,
// and "HTTPS://Example.com:443" is the origin it sends as "https://example.com".
std::string normalise_origin(std::string& text) {
  const auto separator = text.find("://");
  const bool scheme =
      separator != 0 &&
      text.substr(0, separator).find_first_not_of(SCHEME_CHARACTERS) == std::string_view::npos;
  const std::string_view authority =
      separator == std::string_view::npos ? "" : std::string_view(text).substr(separator + 3);
  // No path, query or fragment, no user name, and nothing a header line cannot carry.
  const bool bad_authority = std::ranges::any_of(authority, [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte >= 0x7F || c == '/' || c == '?' || c == '#' || c == '@';
  });
  // The port follows the last colon outside the brackets of an IPv6 address ("[::1]:8080").
  const auto colon = authority.rfind(':');
  const bool has_port =
      colon != std::string_view::npos && authority.find(']', colon) == std::string_view::npos;
  std::string host(authority.substr(0, has_port ? colon : authority.size()));
  const std::string_view port_text = has_port ? authority.substr(colon + 1) : "";
  const auto port = parse_port(port_text);
  if (!scheme || bad_authority || host.empty() ||
      (has_port && (!port || port_text.starts_with('+')))) {
    return "invalid origin '" + text +
           "': expected SCHEME://HOST or SCHEME://HOST:PORT, as a browser sends it";
  }
  // The scheme and the host are ASCII by now, which text::to_lower lowers as ASCII.
  const std::string name = text::to_lower(std::string_view(text).substr(0, separator));
  std::string port_part = has_port ? ":" + std::string(port_text) : "";
  const auto web = std::ranges::find(WEB_SCHEMES, name, &WebScheme::name);
  if (web != std::end(WEB_SCHEMES)) {
    host = text::to_lower(host);
    port_part = !has_port || *port == web->default_port ? "" : ":" + std::to_string(*port);
  }
  text = name + "://" + host + port_part;
  return {};
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
      ->transform(CLI::Validator(normalise_origin, "ORIGIN"))
      ->needs(on);
  command
      .add_option_function<std::string>(
          "--mcp-token-file", [&mcp](const std::string& path) { mcp.token_file = path; },
          "Require the token in PATH as Authorization: Bearer on every /mcp request "
          "(the file must not be readable by other users)")
      ->type_name("PATH")
      ->needs(on);
}

// Adds the options of a command that answers from `--data DIR` (the store it reads instead of the
// demo catalogue): the serving options first for one that serves, or the query for `prices`; then
// `--data`; last `--history` for `prices`, or for one that judges drops `--alert-percent P`,
// above 0 and at most 100.
template <typename Chosen>
void add_answering_command(CLI::App& command, Command& slot) {
  auto& chosen = slot.emplace<Chosen>();
  if constexpr (requires { chosen.port; }) add_serving_options(command, chosen.port, chosen.mcp);
  if constexpr (requires { chosen.query; }) {
    command.add_option("-q,--query", chosen.query)->type_name("QUERY")->required();
  }
  command
      .add_option_function<std::string>(
          "--data", [&data = chosen.data](const std::string& folder) { data = folder; },
          "Answer from the store in the data folder DIR (market.db) instead of the demo")
      ->type_name("DIR");
  if constexpr (requires { chosen.history; }) {
    command.add_flag("--history", chosen.history,
                     "Show each match's price history and a text chart (needs --data)");
  }
  if constexpr (requires { chosen.alert_percent; }) {
    command
        .add_option("--alert-percent", chosen.alert_percent,
                    "Alert when a competitor is more than P percent below our price (default 5)")
        ->type_name("P")
        ->check(CLI::Range(0.001, 100.0));
  }
}

void add_import_command(CLI::App& command, Command& slot) {
  auto& import = slot.emplace<ImportCommand>();
  command.add_option("--data", import.data, "The data folder of the store (market.db)")
      ->type_name("DIR")
      ->required();
  command.add_flag("--dry-run", import.dry_run, "Read and check the files; write nothing");
  command.add_flag("--strict", import.strict, "Import a file with any rejected row not at all");
  command
      .add_option("files", import.files,
                  "Files to import, each kind told by its header (listings, competitor prices, "
                  "the Jan Aushadhi list, branded medicine prices); - reads standard input")
      ->type_name("FILE")
      ->required();
}

// A subcommand: its name, its line in the help, and what adds its options to its CLI11 app (bound
// to the command it puts in `slot`).
struct Subcommand {
  std::string_view name;
  std::string_view description;
  void (*add)(CLI::App& command, Command& slot);
};

// The subcommands in the order the help lists them; "help" follows them.
constexpr Subcommand SUBCOMMANDS[] = {
    {"ui", "Launch the Zero-Electron Web HUD Dashboard", add_answering_command<UiCommand>},
    {"prices", "Search tracked products by keyword or ASIN", add_answering_command<PricesCommand>},
    {"daemon", "Run 24x7 background market sentinel daemon", add_answering_command<DaemonCommand>},
    {"mcp", "Run in Stdio JSON-RPC 2.0 AI MCP Server Mode", add_answering_command<McpCommand>},
    {"test", "Run comprehensive 10-in-1 end-to-end verification tests",
     add_answering_command<TestCommand>},
    {"import",
     "Import listing reports, competitor prices, the Jan Aushadhi list and branded medicine "
     "prices into a data folder",
     add_import_command},
};
// Every spelling of an option of any subcommand that takes a value.
constexpr std::string_view VALUE_OPTIONS[] = {
    "-p", "--port", "--mcp-allow-origin", "--mcp-token-file", "--data", "--alert-percent",
    "-q", "--query"};
constexpr std::string_view HELP = "help";
constexpr std::string_view PROGRAM = "quillon_market_radar";

// Returns whether `word` ("--query", "-q") spells an option of any subcommand that takes a value.
bool takes_value(std::string_view word) { return std::ranges::count(VALUE_OPTIONS, word) != 0; }

// Returns the arguments after the program name in the reversed order CLI11 parses them, with an
// option that takes a value written "--name=" split into "--name" and an empty word. CLI11 2.1
// reads an empty attached value as no value at all and then takes the next word instead, so
// "--query= noise" would search "noise" and "--port= 8081" listen on 8081; split, the empty
// word is the value, as "--query ''" gives it. A word in the place of an option's value, or after
// "--", is a value or a positional word and stays as it is. The options are those of every
// subcommand, whichever are built, so that the words CLI11 sees never depend on what is built.
std::vector<std::string> arguments_for_parser(int argc, const char* const* argv) {
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(argc));
  bool value_next = false, positional_only = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (value_next || positional_only) {
      value_next = false;
    } else if (word == "--") {
      positional_only = true;
    } else if (takes_value(word)) {
      value_next = true;
    } else if (word.starts_with("--") && word.back() == '=' &&
               takes_value(std::string_view(word).substr(0, word.size() - 1))) {
      args.push_back(word.substr(0, word.size() - 1));
      word.clear();
    }
    args.push_back(std::move(word));
  }
  return {args.rbegin(), args.rend()};
}

// Which subcommands a parse builds: those the arguments name, or every one, as the help lists them.
enum class Build { NAMED, EVERY };

// Parses the arguments with the subcommands `build` asks for. CLI11 builds every option of every
// subcommand it is given before it parses, so the usual parse builds only the subcommands an
// argument names: CLI11 takes a word for a subcommand only when it is its very name (no alias,
// case or underscore folding is set; `built` would have to follow one), so one that no word
// names takes no part in the parse, which then runs, or prints the version, as the parse of them
// all would. Help lists every subcommand, and an error is told as the parse of them all
// tells it: the usual parse gives nothing for them and leaves them to Build::EVERY.
std::optional<ParseOutcome> parse_with(Build build, int argc, const char* const* argv,
                                       std::ostream& out, std::ostream& err) {
  CLI::App app(
      "Quillon Market & Retail Intelligence - Competitor Price Tracker, Review Defect Miner & "
      "Brand Sentiment Radar (10-in-1 Zero-Cloud E-Commerce Weapon)",
      std::string(PROGRAM));
  app.footer("Author: Varnel AI Labs");
  app.set_version_flag("-V,--version", std::string(PROGRAM) + " " + std::string(VERSION));
  app.require_subcommand(0, 1);
  // Options are written one way on every system: on Windows, CLI11 would take a word beginning
  // with "/" (a file such as /tmp/listings.txt, which Wine and MSYS hand on as it is) for an option
  // and refuse the command line.
  app.allow_windows_style_options(false);

  std::vector<std::string> args = arguments_for_parser(argc, argv);
  // Whether one of the arguments is `name` itself (a word split off "--name=" never is).
  const auto built = [&](std::string_view name) {
    return build == Build::EVERY || std::ranges::count(args, name) != 0;
  };
  std::array<Command, std::size(SUBCOMMANDS)> commands;
  for (std::size_t i = 0; i < std::size(SUBCOMMANDS); ++i) {
    const auto& [name, description, add] = SUBCOMMANDS[i];
    if (built(name)) {
      add(*app.add_subcommand(std::string(name), std::string(description)), commands[i]);
    }
  }
  CLI::App* help = nullptr;
  std::vector<std::string> help_topics;
  if (built(HELP)) {
    help = app.add_subcommand(std::string(HELP),
                              "Print this message or the help of the given subcommand(s)");
    help->add_option("subcommand", help_topics)->type_name("COMMAND");
  }

  try {
    app.parse(std::move(args));
  } catch (const CLI::CallForVersion& version) {
    (void)app.exit(version, out, err);
    return ParseOutcome{std::nullopt, 0};
  } catch (const CLI::ParseError& error) {
    if (build == Build::NAMED) return std::nullopt;
    // CLI11 prints help to `out` and errors to `err`; its own codes are 104 and up.
    const int code = app.exit(error, out, err);
    return ParseOutcome{std::nullopt, code == 0 ? 0 : 2};
  }

  if (help != nullptr && help->parsed()) {
    if (build == Build::NAMED) return std::nullopt;
    const CLI::App* topic = &app;
    for (const auto& name : help_topics) {
      const auto found =
          topic->get_subcommands([&name](const CLI::App* sub) { return sub->get_name() == name; });
      if (found.empty()) {
        err << "unrecognized subcommand '" << name << "'\n"
            << "Run with --help for more information.\n";
        return ParseOutcome{std::nullopt, 2};
      }
      topic = found.back();
    }
    // App::help() would describe the parsed "help" subcommand itself; ask the formatter directly.
    const std::string name =
        topic == &app ? app.get_name() : app.get_name() + " " + topic->get_name();
    out << app.get_formatter()->make_help(topic, name, CLI::AppFormatMode::Normal);
    return ParseOutcome{std::nullopt, 0};
  }

  // At most one subcommand is parsed, and "help" is not.
  Cli cli;
  for (const CLI::App* parsed : app.get_subcommands()) {
    const auto chosen = std::ranges::find(SUBCOMMANDS, parsed->get_name(), &Subcommand::name);
    cli.command = std::move(commands[static_cast<std::size_t>(chosen - std::begin(SUBCOMMANDS))]);
  }
  return ParseOutcome{std::move(cli), 0};
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
  if (text.starts_with('+')) text.remove_prefix(1);
  // from_chars takes no sign for an unsigned value, and reports a value beyond 65535.
  std::uint16_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

ParseOutcome parse_command_line(int argc, const char* const* argv, std::ostream& out,
                                std::ostream& err) {
  if (auto outcome = parse_with(Build::NAMED, argc, argv, out, err)) return std::move(*outcome);
  return std::move(*parse_with(Build::EVERY, argc, argv, out, err));
}

std::vector<const char*> without_unset_bundle_folder(int argc, const char* const* argv) {
  std::vector<const char*> kept;
  for (int i = 0; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (i + 1 < argc && word == "--data" && argv[i + 1] == BUNDLE_DATA_FOLDER) {
      ++i;
    } else if (word.substr(0, 7) != "--data=" || word.substr(7) != BUNDLE_DATA_FOLDER) {
      kept.push_back(argv[i]);
    }
  }
  return kept;
}

}  // namespace qmr::main
