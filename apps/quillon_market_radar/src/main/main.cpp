// quillon_market_radar: market intelligence for online sellers, on the console, in a local web
// dashboard and as a tool server for AI assistants.
#include <atomic>
#include <exception>
#include <new>

#include "base/platform.hpp"
#include "base/result.hpp"
#include "main/runtime.hpp"

namespace {

// Set once an allocation has failed. asio allocates some operations inside steps that must not
// throw (a coroutine's noexcept suspension): a bad_alloc there stops the process through
// std::terminate with no exception at hand, and this is then the one trace of the cause.
std::atomic<bool> memory_ran_out{false};

// Does what operator new does without a handler, after noting the failure.
void note_failed_allocation() {
  memory_ran_out.store(true, std::memory_order_relaxed);
  throw std::bad_alloc();
}

// Stops the process with a message instead of the default termination's signal. Reached when an
// exception leaves a step that must not throw, e.g. a failed allocation inside the asynchronous
// runtime's machinery; the exception is told as `fatal_for` tells it, or, with none at hand, as
// exhausted memory once an allocation has failed.
[[noreturn]] void stop_on_terminate() {
  if (const auto failure = std::current_exception()) qmr::fatal_for(failure);
  if (memory_ran_out.load(std::memory_order_relaxed)) qmr::fatal("memory allocation failed");
  qmr::fatal("internal error: terminate called");
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe, or output past the file-size limit (ulimit -f), makes a write fail with an
  // error the program reports, not a silent kill that leaves a cut line; on Windows the streams
  // carry bytes untranslated.
  qmr::platform::prepare_standard_streams();
  std::set_new_handler(note_failed_allocation);
  std::set_terminate(stop_on_terminate);
  return qmr::main::run_program(argc, argv);
}
