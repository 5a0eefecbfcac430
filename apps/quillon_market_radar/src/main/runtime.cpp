#include "main/runtime.hpp"

#include <unistd.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>
#include <concepts>
#include <exception>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <variant>
#include <vector>

#include "base/console.hpp"
#include "base/loop_pool.hpp"
#include "base/platform.hpp"
#include "main/cli.hpp"
#include "main/commands.hpp"
#include "main/data_source.hpp"
#include "mcp/http_transport.hpp"
#include "mcp/stdio_transport.hpp"
#include "ui/listener.hpp"
#include "ui/page.hpp"
#include "ui/server.hpp"

namespace qmr::main {

namespace {

// One overload per command: a command without one is a compile error, not a silent fall-through.
// Each opens the data source it answers from, if any (`test` checks its store itself and `import`
// writes to its own): a command that runs on follows the store's imports, and `prices` reads only
// the listings its one search finds. Those that run to their end at once are in commands.cpp.

// The dashboard, after the daemon's lines for `daemon`, with the tool server on its port when
// `--mcp` asks for it: its endpoint, the origins and the token, read from its file now. A token
// file that cannot be read, that is not a regular file, that other users may read or write or that
// holds no token is an error: the program does not start.
template <std::derived_from<UiCommand> Serving>
asio::awaitable<Status> run(const Serving& command, LoopPool& runtime) {
  auto source = DataSource::open(command.data, true);
  if (!source.ok()) co_return source.error();
  if constexpr (std::is_same_v<Serving, DaemonCommand>) print_daemon_lines(command.port);
  ui::ToolServerOptions tools;
  const engine::HistorySourceHandle history = source.value().history(command.alert_percent);
  if (command.mcp.on) {
    if (const auto& path = command.mcp.token_file) {
      const auto contents = platform::read_private_file(*path, TOKEN_FILE_LIMIT + 1);
      auto token = contents.ok() ? token_from_file(contents.value(), *path) : contents;
      if (!token.ok()) co_return Error{"--mcp-token-file: " + token.error().message};
      tools.token = std::move(token.value());
    }
    tools.endpoint = mcp::http_endpoint(source.value().snapshots(), history);
    tools.allowed_origins = command.mcp.allowed_origins;
  }
  // The demo's page is its catalogue's, figures and all; a store's reads its own from the API.
  co_return co_await ui::serve_dashboard(
      source.value().snapshots(), command.port, runtime, {}, std::move(tools),
      command.data ? ui::CATALOGUE_PAGE : ui::DASHBOARD_PAGE, history);
}

Status run(const McpCommand& command) {
  auto source = DataSource::open(command.data, true);
  if (!source.ok()) return source.error();
  return mcp::serve_lines(STDIN_FILENO, STDOUT_FILENO, source.value().snapshots(),
                          source.value().history(command.alert_percent));
}

// A command that needs no loop: run on loop 0, which it keeps until it ends.
template <typename Chosen>
asio::awaitable<Status> run(const Chosen& command, LoopPool&) {
  co_return run(command);
}

// The root task, on loop 0 of the runtime: the banner, then the command. The command and its data
// source live in this task for as long as the command runs.
asio::awaitable<int> program_body(const Command& command, LoopPool& runtime) {
  // No banner for the tool server: standard output is its protocol channel.
  if (!std::holds_alternative<McpCommand>(command)) print_banner();
  const Status status =
      co_await std::visit([&](const auto& chosen) { return run(chosen, runtime); }, command);
  if (!status.ok()) {
    console::print_error("Error: " + status.error().message + "\n");
    co_return 1;
  }
  co_return 0;
}

}  // namespace

int run_program(int argc, char** argv) {
  // The command line first: help, version and a rejected line end here, before any loop exists.
  // The parser's text is written like any console line: help that cannot be written stops the
  // process with the console's message and status, not a silent 0.
  std::ostringstream out, err;
  const std::vector<const char*> arguments = without_unset_bundle_folder(argc, argv);
  auto parsed = parse_command_line(static_cast<int>(arguments.size()), arguments.data(), out, err);
  console::print_error(err.str());
  console::print_text(out.str());
  if (!parsed.cli) return parsed.exit_status;

  const Command command = parsed.cli->command.value_or(UiCommand{});
  // The dashboard accepts on several loops; the other commands run on loop 0 alone, on the main
  // thread, and start no other.
  const bool dashboard =
      std::holds_alternative<UiCommand>(command) || std::holds_alternative<DaemonCommand>(command);
  LoopPool runtime(
      dashboard ? ui::dashboard_loops(std::max(1u, std::thread::hardware_concurrency())) : 1);
  int status = 0;
  asio::co_spawn(runtime.loop(0), program_body(command, runtime),
                 [&runtime, &status](const std::exception_ptr& failure, int result) {
                   if (failure) fatal_for(failure);
                   status = result;
                   // Connection tasks still running end with the process.
                   runtime.stop();
                 });
  if (const Status ran = runtime.run(); !ran.ok()) {
    fatal("Failed building the Runtime: " + ran.error().message);
  }
  return status;
}

}  // namespace qmr::main
