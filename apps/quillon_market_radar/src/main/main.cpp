// quillon_market_radar: market intelligence for online sellers, on the console, in a local web
// dashboard and as a tool server for AI assistants.
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <exception>

#include "base/loop_pool.hpp"
#include "base/result.hpp"
#include "main/runtime.hpp"

namespace {

// Several times an exception object with the C++ runtime's header (about 140 bytes for a
// std::bad_alloc): when this much cannot be had either, memory is exhausted.
constexpr std::size_t MEMORY_PROBE_BYTES = 1024;

// Stops the process with a message instead of the default termination's signal. Reached when an
// exception leaves a step that must not throw, e.g. a failed allocation inside the asynchronous
// runtime's machinery; the exception is told as `fatal_for` tells it. With no exception at hand,
// the C++ runtime most likely found no memory for the exception object itself (its emergency
// reserve spent by the exceptions in flight); a small allocation that still fails tells that
// from a broken invariant.
[[noreturn]] void stop_on_terminate() {
  if (const auto failure = std::current_exception()) qmr::fatal_for(failure);
  void* probe = std::malloc(MEMORY_PROBE_BYTES);
  if (probe == nullptr) qmr::fatal("memory allocation failed");
  std::free(probe);
  qmr::fatal("internal error: terminate called");
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe, or output past the file-size limit (ulimit -f), makes a write fail with an
  // error the program reports, not a silent kill that leaves a cut line.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  std::set_terminate(stop_on_terminate);
  return qmr::main::run_program(argc, argv);
}
