// The command line, parsed without a process, and the console helpers of the commands.
#include "main/cli.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "main/commands.hpp"

namespace qmr::main {
namespace {

struct Parsed {
  ParseOutcome outcome;
  std::string out;
  std::string err;
};

Parsed parse(std::initializer_list<const char*> args) {
  std::vector<const char*> argv{"quillon_market_radar"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::ostringstream out, err;
  auto outcome = parse_command_line(static_cast<int>(argv.size()), argv.data(), out, err);
  return {std::move(outcome), out.str(), err.str()};
}

void expect_rejected(std::initializer_list<const char*> args) {
  const auto parsed = parse(args);
  std::string line;
  for (const char* arg : args) line += std::string(arg) + ' ';
  EXPECT_FALSE(parsed.outcome.cli) << line;
  EXPECT_EQ(parsed.outcome.exit_status, 2) << line;
  EXPECT_FALSE(parsed.err.empty()) << line;
  EXPECT_TRUE(parsed.out.empty()) << line;
}

std::uint16_t port_of(const Parsed& parsed) {
  const auto& command = parsed.outcome.cli.value().command.value();
  if (const auto* ui = std::get_if<UiCommand>(&command)) return ui->port;
  return std::get<DaemonCommand>(command).port;
}

TEST(ParsePort, DecimalOnlyUpTo65535) {
  EXPECT_EQ(parse_port("0"), 0);
  EXPECT_EQ(parse_port("7577"), 7577);
  EXPECT_EQ(parse_port("65535"), 65535);
  EXPECT_EQ(parse_port("010"), 10);
  EXPECT_EQ(parse_port("+80"), 80);
  EXPECT_EQ(parse_port("000000000000000000000000065535"), 65535);
  for (const char* bad : {"", "+", "65536", "99999999999999999999", "-1", "0x10", "abc", " 80",
                          "80 ", "++80", "-0", "8o", "１２"}) {
    EXPECT_EQ(parse_port(bad), std::nullopt) << bad;
  }
}

TEST(CommandLine, NoSubcommandIsAValidParse) {
  const auto parsed = parse({});
  ASSERT_TRUE(parsed.outcome.cli);
  EXPECT_FALSE(parsed.outcome.cli->command);
  EXPECT_EQ(parsed.outcome.exit_status, 0);
}

TEST(CommandLine, PortsOfUiAndDaemon) {
  EXPECT_EQ(port_of(parse({"ui"})), 7577);
  EXPECT_EQ(port_of(parse({"ui", "-p", "8081"})), 8081);
  EXPECT_EQ(port_of(parse({"ui", "--port", "8081"})), 8081);
  EXPECT_EQ(port_of(parse({"ui", "--port=8081"})), 8081);
  EXPECT_EQ(port_of(parse({"ui", "--port", "65535"})), 65535);
  EXPECT_EQ(port_of(parse({"ui", "--port", "0"})), 0);
  EXPECT_EQ(port_of(parse({"ui", "--port", "010"})), 10);
  EXPECT_EQ(port_of(parse({"daemon"})), 7577);
  EXPECT_EQ(port_of(parse({"daemon", "-p", "9000"})), 9000);
  EXPECT_TRUE(std::holds_alternative<DaemonCommand>(*parse({"daemon"}).outcome.cli->command));
}

McpOverHttp mcp_of(const Parsed& parsed) {
  const auto& command = parsed.outcome.cli.value().command.value();
  if (const auto* ui = std::get_if<UiCommand>(&command)) return ui->mcp;
  return std::get<DaemonCommand>(command).mcp;
}

TEST(CommandLine, ToolServerOverHttpOptionsOfUiAndDaemon) {
  struct Case {
    std::vector<const char*> args;
    bool on;
    std::vector<std::string> origins;
    std::optional<std::string> token_file;
  };
  const Case cases[] = {
      {{"ui"}, false, {}, std::nullopt},
      {{"ui", "--mcp"}, true, {}, std::nullopt},
      {{"daemon", "-p", "9000", "--mcp"}, true, {}, std::nullopt},
      {{"ui", "--mcp", "--mcp-allow-origin", "http://localhost:6274", "--mcp-allow-origin=app://x",
        "--mcp-token-file", "/run/t"},
       true,
       {"http://localhost:6274", "app://x"},
       "/run/t"},
      {{"daemon", "--mcp-token-file=", "--mcp"}, true, {}, ""},
      // An origin is kept as a browser writes it: the scheme and a web host in lower case, the
      // port a number, none when it is the scheme's default.
      {{"ui", "--mcp", "--mcp-allow-origin", "HTTPS://EXAMPLE.com", "--mcp-allow-origin",
        "http://localhost:80", "--mcp-allow-origin", "Http://[::1]:0080", "--mcp-allow-origin",
        "WSS://Host:0443", "--mcp-allow-origin", "https://x:08443", "--mcp-allow-origin",
        "App://X:080"},
       true,
       {"https://example.com", "http://localhost", "http://[::1]", "wss://host", "https://x:8443",
        "app://X:080"},
       std::nullopt},
  };
  for (const auto& [args, on, origins, token_file] : cases) {
    std::vector<const char*> argv{"quillon_market_radar"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::ostringstream out, err;
    const Parsed parsed{parse_command_line(static_cast<int>(argv.size()), argv.data(), out, err),
                        out.str(), err.str()};
    ASSERT_TRUE(parsed.outcome.cli) << args[1] << parsed.err;
    const McpOverHttp mcp = mcp_of(parsed);
    EXPECT_EQ(mcp.on, on) << args.size();
    EXPECT_EQ(mcp.allowed_origins, origins) << args.size();
    EXPECT_EQ(mcp.token_file, token_file) << args.size();
  }
  // The origin and the token belong to a tool server that is on; an origin is one a browser
  // sends, never a pattern or a URL with a path.
  expect_rejected({"ui", "--mcp-allow-origin", "http://localhost:6274"});
  expect_rejected({"daemon", "--mcp-token-file", "/run/t"});
  for (const char* origin : {"*", "localhost:6274", "http://", "://x", "http://x/", "http://x/a",
                             "http://a b", "http://u@x", "ht tp://x", "", "http://x:", "http://:80",
                             "http://x:8o", "http://x:+80", "http://x:65536"}) {
    expect_rejected({"ui", "--mcp", "--mcp-allow-origin", origin});
  }
  expect_rejected({"ui", "--mcp", "--mcp-allow-origin"});
  expect_rejected({"ui", "--mcp", "--mcp-allow-origin", "http://a", "http://b"});
  expect_rejected({"prices", "-q", "x", "--mcp"});
  expect_rejected({"mcp", "--mcp"});
  EXPECT_NE(parse({"ui", "--help"}).out.find("--mcp-token-file PATH"), std::string::npos);
}

TEST(TokenFromFile, TheTextLessItsLineBreaksOrWhyNot) {
  struct Case {
    std::string contents;
    std::string token_or_error;
    bool ok;
  };
  const Case cases[] = {
      {"abc\n", "abc", true},
      {"abc\r\n\n", "abc", true},
      {"K7q+/x=", "K7q+/x=", true},
      {std::string(TOKEN_FILE_LIMIT, 'a'), std::string(TOKEN_FILE_LIMIT, 'a'), true},
      {"", "/t is empty: it must hold the token", false},
      {"\r\n", "/t is empty: it must hold the token", false},
      {std::string(TOKEN_FILE_LIMIT + 1, 'a'), "/t holds more than 1024 bytes: a token is one line",
       false},
      {"two words", "/t holds a byte other than visible ASCII: the token must fit in a header",
       false},
      {"a\nb", "/t holds a byte other than visible ASCII: the token must fit in a header", false},
      {" abc", "/t holds a byte other than visible ASCII: the token must fit in a header", false},
      {"\xE2\x82\xB9", "/t holds a byte other than visible ASCII: the token must fit in a header",
       false},
  };
  for (const auto& [contents, token_or_error, ok] : cases) {
    const auto token = token_from_file(contents, "/t");
    ASSERT_EQ(token.ok(), ok) << contents;
    EXPECT_EQ(ok ? token.value() : token.error().message, token_or_error) << contents;
  }
}

// The bundles' placeholder after --data, left as it stands by a host with no folder for it, is no
// --data at all; any other value, the placeholder inside a longer word among them, stays.
TEST(CommandLine, UnsetBundleFolderIsNoDataOption) {
  using Words = std::vector<std::string>;
  const std::string unset(BUNDLE_DATA_FOLDER);
  const std::pair<Words, Words> cases[] = {
      {{"p", "mcp", "--data", unset}, {"p", "mcp"}},
      {{"p", "mcp", "--data=" + unset, "-q"}, {"p", "mcp", "-q"}},
      {{"p", "mcp", "--data", "/home/me/shop"}, {"p", "mcp", "--data", "/home/me/shop"}},
      {{"p", "mcp", "--data", ""}, {"p", "mcp", "--data", ""}},
      {{"p", "mcp", "--data", unset + "x"}, {"p", "mcp", "--data", unset + "x"}},
      {{"p", "mcp", "--data"}, {"p", "mcp", "--data"}},
      {{"p", "prices", "-q", unset}, {"p", "prices", "-q", unset}}};
  for (const auto& [given, expected] : cases) {
    std::vector<const char*> argv;
    for (const std::string& word : given) argv.push_back(word.c_str());
    const std::vector<const char*> kept =
        without_unset_bundle_folder(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(Words(kept.begin(), kept.end()), expected) << given.back();
  }
}

TEST(CommandLine, RejectedLinesExitWithTwo) {
  expect_rejected({"ui", "--port", "65536"});
  expect_rejected({"ui", "--port", "-1"});
  expect_rejected({"ui", "--port", "abc"});
  expect_rejected({"ui", "--port", "0x10"});
  expect_rejected({"ui", "--port", ""});
  expect_rejected({"ui", "--port"});
  expect_rejected({"ui", "8081"});
  expect_rejected({"daemon", "-p", "70000"});
  expect_rejected({"prices"});
  expect_rejected({"prices", "noise"});
  expect_rejected({"bogus"});
  expect_rejected({"--bogus"});
  expect_rejected({"test", "--port", "1"});
  expect_rejected({"mcp", "extra"});
  expect_rejected({"ui", "test"});
  expect_rejected({"help", "bogus"});
  // A word spells an option of whichever subcommand has it, parsed or not: "--query" takes the
  // next word as its value here too, and the version does not hide the error that follows.
  expect_rejected({"--version", "ui", "--query", "--mcp-allow-origin="});
  expect_rejected({"--version", "prices", "--port", "--query="});
}

TEST(CommandLine, MissingQueryNamesTheOption) {
  const auto parsed = parse({"prices"});
  EXPECT_NE(parsed.err.find("--query"), std::string::npos) << parsed.err;
}

TEST(CommandLine, QueryIsTakenAsGiven) {
  for (const char* query : {"", "noise", " two words ", "it's \"quoted\"", "-x", "ui", "help"}) {
    const auto parsed = parse({"prices", "--query", query});
    ASSERT_TRUE(parsed.outcome.cli) << query << parsed.err;
    EXPECT_EQ(std::get<PricesCommand>(*parsed.outcome.cli->command).query, query);
  }
  EXPECT_EQ(std::get<PricesCommand>(*parse({"prices", "-q", "a b"}).outcome.cli->command).query,
            "a b");
}

TEST(CommandLine, EmptyAttachedValueIsTheEmptyValueNotTheNextWord) {
  const auto query_of = [](std::initializer_list<const char*> args) {
    const auto parsed = parse(args);
    EXPECT_TRUE(parsed.outcome.cli) << parsed.err;
    return parsed.outcome.cli ? std::get<PricesCommand>(*parsed.outcome.cli->command).query
                              : std::string("(rejected)");
  };
  EXPECT_EQ(query_of({"prices", "--query="}), "");
  // A word in the place of a value is taken as it is.
  EXPECT_EQ(query_of({"prices", "-q", "--query="}), "--query=");
  EXPECT_EQ(query_of({"prices", "--query", "--port="}), "--port=");
  expect_rejected({"prices", "--query=", "noise"});
  expect_rejected({"ui", "--port="});
  expect_rejected({"ui", "--port=", "8081"});
  // Flags are not options with a value: "--version=" stays CLI11's own business.
  EXPECT_EQ(parse({"--version="}).out, parse({"--version"}).out);
}

// Returns the first word of each line of `help` that is indented by two spaces and passes `keep`.
// (No std::regex: with the sanitizers, GCC 12 warns of its own std::function inside it.)
std::vector<std::string> indented_words(const std::string& help,
                                        bool (*keep)(std::string_view word,
                                                     std::string_view rest)) {
  std::vector<std::string> words;
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("  ") || line.size() < 3 || line[2] == ' ') continue;
    const std::string_view text = std::string_view(line).substr(2);
    const auto space = text.find(' ');
    if (space == std::string_view::npos) continue;
    if (keep(text.substr(0, space), text.substr(space + 1))) {
      words.emplace_back(text.substr(0, space));
    }
  }
  return words;
}

// Every option the help of a subcommand shows with a value takes "--name=" as "--name ''".
TEST(CommandLine, EveryValueOptionTakesAnEmptyAttachedValue) {
  const auto subcommands = indented_words(parse({"--help"}).out, [](auto word, auto) {
    return word.front() >= 'a' && word.front() <= 'z';
  });
  int options = 0;
  for (const auto& name : subcommands) {
    // "-p,--port PORT" or "--data DIR": a long name followed by a value's upper-case name.
    const auto value_options =
        indented_words(parse({"help", name.c_str()}).out, [](auto word, auto rest) {
          return word.find("--") != word.npos && !rest.empty() && rest.front() >= 'A' &&
                 rest.front() <= 'Z';
        });
    for (const auto& spelled : value_options) {
      ++options;
      const std::string option = spelled.substr(spelled.find("--")), attached = option + "=";
      const auto split = parse({name.c_str(), option.c_str(), ""});
      const auto joined = parse({name.c_str(), attached.c_str()});
      EXPECT_EQ(joined.outcome.exit_status, split.outcome.exit_status) << attached;
      EXPECT_EQ(joined.err, split.err) << attached;
    }
  }
  // --port, --mcp-allow-origin, --mcp-token-file, --data and --alert-percent twice; --query; --data
  // thrice more; --alert-percent once more (mcp).
  EXPECT_EQ(options, 16);
}

// Every command that answers takes the data folder it answers from, and none without the option.
TEST(CommandLine, AnsweringCommandsTakeTheirDataFolder) {
  const auto data_of = [](std::initializer_list<const char*> args) -> DataFolder {
    const auto parsed = parse(args);
    if (!parsed.outcome.cli) return "rejected: " + parsed.err;
    return std::visit([](const auto& chosen) { return DataFolder(chosen.data); },
                      *parsed.outcome.cli->command);
  };
  for (const char* name : {"ui", "daemon", "mcp", "test"}) {
    EXPECT_EQ(data_of({name}), std::nullopt) << name;
    EXPECT_EQ(data_of({name, "--data", "d"}), "d") << name;
  }
  EXPECT_EQ(data_of({"prices", "-q", "x", "--data=d"}), "d");
  EXPECT_TRUE(std::holds_alternative<McpCommand>(*parse({"mcp"}).outcome.cli->command));
  EXPECT_TRUE(std::holds_alternative<TestCommand>(*parse({"test"}).outcome.cli->command));
}

// The alert threshold of the commands that run on: 5 unless given, above 0 and at most 100.
TEST(CommandLine, AlertPercentOfUiDaemonAndMcp) {
  const auto percent_of = [](std::initializer_list<const char*> args) -> std::optional<double> {
    const auto parsed = parse(args);
    if (!parsed.outcome.cli) return std::nullopt;
    return std::visit(
        [](const auto& chosen) -> std::optional<double> {
          if constexpr (requires { chosen.alert_percent; }) return chosen.alert_percent;
          return std::nullopt;
        },
        *parsed.outcome.cli->command);
  };
  for (const char* name : {"ui", "daemon", "mcp"}) {
    EXPECT_EQ(percent_of({name}), 5.0) << name;
    EXPECT_EQ(percent_of({name, "--alert-percent", "2.5"}), 2.5) << name;
    for (const char* bad : {"0", "-1", "101", "x"}) {
      EXPECT_EQ(percent_of({name, "--alert-percent", bad}), std::nullopt) << name << " " << bad;
    }
  }
  EXPECT_EQ(percent_of({"prices", "-q", "x", "--alert-percent", "2"}), std::nullopt);
  EXPECT_TRUE(
      std::get<PricesCommand>(*parse({"prices", "-q", "x", "--history"}).outcome.cli->command)
          .history);
}

TEST(CommandLine, ImportTakesItsFolderFlagsAndFiles) {
  const auto parsed = parse({"import", "--data", "d", "--strict", "a.txt", "-", "b.csv"});
  ASSERT_TRUE(parsed.outcome.cli) << parsed.err;
  const auto& command = std::get<ImportCommand>(*parsed.outcome.cli->command);
  EXPECT_EQ(command.data, "d");
  EXPECT_TRUE(command.strict);
  EXPECT_FALSE(command.dry_run);
  EXPECT_EQ(command.files, (std::vector<std::string>{"a.txt", "-", "b.csv"}));
  const auto dry = parse({"import", "--dry-run", "--data=d", "-"});
  ASSERT_TRUE(dry.outcome.cli) << dry.err;
  EXPECT_TRUE(std::get<ImportCommand>(*dry.outcome.cli->command).dry_run);
  expect_rejected({"import", "a.txt"});
  expect_rejected({"import", "--data", "d"});
  expect_rejected({"import", "--data", "d", "--bogus", "a.txt"});
}

TEST(CommandLine, HelpAndVersionExitWithZero) {
  const auto version = parse({"--version"});
  EXPECT_FALSE(version.outcome.cli);
  EXPECT_EQ(version.outcome.exit_status, 0);
  EXPECT_EQ(version.out, "quillon_market_radar 1.0.0\n");
  EXPECT_EQ(parse({"-V"}).out, "quillon_market_radar 1.0.0\n");

  const auto help = parse({"--help"});
  EXPECT_EQ(help.outcome.exit_status, 0);
  EXPECT_TRUE(help.err.empty());
  // The subcommands are listed in their declared order, the help subcommand last.
  std::size_t at = 0;
  for (const char* name : {"ui", "prices", "daemon", "mcp", "test", "help"}) {
    const auto found = help.out.find(std::string("\n  ") + name + " ", at);
    ASSERT_NE(found, std::string::npos) << name << '\n' << help.out;
    at = found;
  }
  EXPECT_NE(help.out.find("10-in-1 Zero-Cloud E-Commerce Weapon"), std::string::npos);
  EXPECT_NE(help.out.find("Varnel AI Labs"), std::string::npos);
  EXPECT_EQ(parse({"-h"}).out, help.out);
  EXPECT_EQ(parse({"help"}).out, help.out);

  const auto prices_help = parse({"help", "prices"});
  EXPECT_EQ(prices_help.outcome.exit_status, 0);
  EXPECT_NE(prices_help.out.find("--query"), std::string::npos) << prices_help.out;
  EXPECT_EQ(parse({"prices", "--help"}).out, prices_help.out);
  const auto ui_help = parse({"ui", "-h"});
  EXPECT_EQ(ui_help.outcome.exit_status, 0);
  EXPECT_NE(ui_help.out.find("PORT"), std::string::npos) << ui_help.out;
  EXPECT_NE(ui_help.out.find("7577"), std::string::npos) << ui_help.out;
}

TEST(Verification, MillisecondsAreShortestWithoutExponent) {
  EXPECT_EQ(format_milliseconds(1000), "1");
  EXPECT_EQ(format_milliseconds(1234), "1.234");
  EXPECT_EQ(format_milliseconds(15), "0.015");
  EXPECT_EQ(format_milliseconds(250), "0.25");
  EXPECT_EQ(format_milliseconds(1), "0.001");
  EXPECT_EQ(format_milliseconds(0), "0");
  EXPECT_EQ(format_milliseconds(123456789012), "123456789.012");
  EXPECT_EQ(format_milliseconds(100000000000), "100000000");
}

// Up to the cap `prices` prints every match in stored order; beyond it the count of all, the
// matches with the largest price gap (gap 3 at i % 7 of 0 and 6, then 2, ...), and a line on
// the rest.
TEST(Prices, PrintsAtMostTheCapLargestGapsFirstAndCountsTheRest) {
  for (const std::size_t count : {std::size_t{50}, std::size_t{51}, std::size_t{120}}) {
    engine::Catalogue rows;
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < count; ++i) {
      rows.products.push_back({std::string("P").append(std::to_string(i)), "Lamp", "Flipkart", 9,
                               10, 9, static_cast<double>(i % 7) - 3, "IN_STOCK", "2026"});
      order.push_back(i);
    }
    const auto gap = [](std::size_t i) { return std::abs(static_cast<int>(i % 7) - 3); };
    if (count > 50) {
      std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return gap(a) > gap(b); });
    }
    testing::internal::CaptureStdout();
    EXPECT_TRUE(run_prices(engine::MarketEngine::from_catalogue(rows), "LAMP").ok());
    std::istringstream printed(testing::internal::GetCapturedStdout());
    std::vector<std::string> lines;
    for (std::string line; std::getline(printed, line);) lines.push_back(line);
    std::vector<std::string> expected = {
        lines.at(0), "[+] Found " + std::to_string(count) + " Matching SKUs in 0.05ms:"};
    for (std::size_t k = 0; k < std::min<std::size_t>(count, 50); ++k) {
      const auto& p = rows.products[order[k]];
      expected.push_back(
          "    -> [" + p.sku_asin + "] Lamp | Platform: Flipkart | Current: ₹10.00 | " +
          "Competitor: ₹9.00 | Delta: " + engine::format_fixed2(*p.price_delta_percent) + "%");
    }
    if (count > 50) {
      expected.push_back("    ... " + std::to_string(count - 50) + " more of " +
                         std::to_string(count) +
                         " matching products not listed: these are the 50 with the largest price "
                         "gap. Narrow the query (a longer keyword, an ASIN, or a platform such as "
                         "Flipkart) to see the others.");
    }
    EXPECT_EQ(lines, expected);
  }
}

}  // namespace
}  // namespace qmr::main
