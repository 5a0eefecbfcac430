// quillon_market_radar: market intelligence for online sellers, on the console, in a local web
// dashboard and as a tool server for AI assistants.
#include <exception>
#include <new>
#include <string>

#include "base/platform.hpp"
#include "base/result.hpp"
#include "main/runtime.hpp"

namespace {

// Stops the process with a message instead of the default termination's signal. Reached when an
// exception leaves a step that must not throw, e.g. a failed allocation inside the asynchronous
// runtime's machinery; whatever is known of the exception is told.
[[noreturn]] void stop_on_terminate() {
  if (const auto failure = std::current_exception()) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
      qmr::fatal("memory allocation failed");
    } catch (const std::exception& error) {
      qmr::fatal(std::string("internal error: ") + error.what());
    } catch (...) {
      // Not one of ours: told as below.
    }
  }
  qmr::fatal("internal error: terminate called");
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe, or output past the file-size limit (ulimit -f), makes a write fail with an
  // error the program reports, not a silent kill that leaves a cut line; on Windows the streams
  // carry bytes untranslated.
  qmr::platform::prepare_standard_streams();
  std::set_terminate(stop_on_terminate);
  return qmr::main::run_program(argc, argv);
}
