#include "main/runtime.hpp"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_awaitable.hpp>
#include <exception>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "base/console.hpp"
#include "engine/market_engine.hpp"
#include "main/cli.hpp"
#include "main/commands.hpp"
#include "mcp/stdio_transport.hpp"
#include "ui/server.hpp"

namespace qmr::main {

namespace {

// One overload per command: a command without one is a compile error, not a silent fall-through.
asio::awaitable<Status> run(const UiCommand& ui, const engine::EngineHandle& engine) {
  print_banner();
  co_return co_await ui::serve_dashboard(engine, ui.port);
}

asio::awaitable<Status> run(const PricesCommand& prices, const engine::EngineHandle& engine) {
  print_banner();
  run_prices(engine, prices.query);
  co_return Done{};
}

asio::awaitable<Status> run(const DaemonCommand& daemon, const engine::EngineHandle& engine) {
  print_banner();
  print_daemon_lines(daemon.port);
  co_return co_await ui::serve_dashboard(engine, daemon.port);
}

asio::awaitable<Status> run(const McpCommand&, const engine::EngineHandle& engine) {
  // No banner: standard output is the protocol channel.
  co_return mcp::run_tool_server(engine);
}

asio::awaitable<Status> run(const TestCommand&, const engine::EngineHandle& engine) {
  print_banner();
  co_return run_test(engine);
}

// The command and the engine live in the caller's frame for as long as the command runs.
asio::awaitable<Status> run_command(const Command& command, const engine::EngineHandle& engine) {
  return std::visit([&engine](const auto& chosen) { return run(chosen, engine); }, command);
}

// The root task: the store first (even a help run builds it), then the command line, then one
// command.
asio::awaitable<int> program_body(int argc, char** argv) {
  const engine::EngineHandle engine = engine::MarketEngine::create();
  // The parser's text is written like any console line: help that cannot be written stops the
  // process with the console's message and status, not a silent 0.
  std::ostringstream out, err;
  auto parsed = parse_command_line(argc, argv, out, err);
  console::print_error(err.str());
  console::print_text(out.str());
  if (!parsed.cli) co_return parsed.exit_status;

  const Command command = parsed.cli->command.value_or(UiCommand{DEFAULT_PORT});
  const Status status = co_await run_command(command, engine);
  if (!status.ok()) {
    console::print_error("Error: " + status.error().message + "\n");
    co_return 1;
  }
  co_return 0;
}

// Runs the runtime until it is stopped. A handler that throws out of it has met a failure with
// nothing of its own to drop (out of memory, mostly): the process stops with a message rather
// than by the default termination's signal.
void run_runtime(asio::io_context& runtime) {
  try {
    runtime.run();
  } catch (const std::bad_alloc&) {
    fatal("memory allocation failed");
  } catch (const std::exception& error) {
    fatal(std::string("internal error: ") + error.what());
  }
}

}  // namespace

int run_program(int argc, char** argv) {
  const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
  asio::io_context runtime(static_cast<int>(workers));

  int status = 0;
  asio::co_spawn(runtime, program_body(argc, argv),
                 [&runtime, &status](std::exception_ptr failure, int result) {
                   if (!failure) {
                     status = result;
                     // Connection tasks still running end with the process.
                     runtime.stop();
                     return;
                   }
                   try {
                     std::rethrow_exception(failure);
                   } catch (const std::bad_alloc&) {
                     fatal("memory allocation failed");
                   } catch (const std::exception& error) {
                     fatal(std::string("internal error: ") + error.what());
                   }
                 });

  // The main thread is one of the workers, and nearly always the one that takes the root task:
  // the others first need a processor to be woken for them. A one-shot command then starts,
  // runs and ends on the main thread, with no hand-over between threads at either end (on a
  // virtual machine each wake-up of an idle processor costs tens of microseconds).
  std::vector<std::thread> threads;
  threads.reserve(workers - 1);
  try {
    for (unsigned i = 1; i < workers; ++i) {
      threads.emplace_back([&runtime] { run_runtime(runtime); });
    }
  } catch (const std::system_error& error) {
    fatal(std::string("Failed building the Runtime: ") + error.what());
  }
  run_runtime(runtime);
  for (auto& thread : threads) thread.join();
  return status;
}

}  // namespace qmr::main
