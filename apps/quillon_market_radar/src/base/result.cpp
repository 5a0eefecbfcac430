#include "base/result.hpp"

#include <unistd.h>

#include <asio/error_code.hpp>
#include <asio/multiple_exceptions.hpp>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <system_error>

#include "base/descriptor_io.hpp"

namespace qmr {

void fatal(std::string_view message) {
  // Straight to the descriptor, whatever state the streams are in, and nothing allocated on the
  // way out: exhausted memory is one of the reasons to be here.
  static_cast<void>(descriptor_io::write_all(STDERR_FILENO, message));
  static_cast<void>(descriptor_io::write_all(STDERR_FILENO, "\n"));
  std::_Exit(ABNORMAL_EXIT_STATUS);
}

void fatal_for(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const asio::multiple_exceptions& failures) {
    fatal_for(failures.first_exception());
  } catch (const std::bad_alloc&) {
    fatal("memory allocation failed");
  } catch (const std::system_error& error) {
    // The machine's limits, not a fault of ours, e.g. a loop's descriptors under `ulimit -n 3`.
    // asio's errors carry an errno value in a category of its own, which std::errc does not match.
    const std::error_code code = error.code();
    if (code.category() == asio::system_category() || code.category() == std::system_category()) {
      if (code.value() == EMFILE || code.value() == ENFILE) fatal("too many open files");
      if (code.value() == ENOMEM) fatal("memory allocation failed");
    }
    fatal(std::string("internal error: ") + error.what());
  } catch (const std::exception& error) {
    fatal(std::string("internal error: ") + error.what());
  } catch (...) {
  }
  fatal("internal error: unknown exception");
}

}  // namespace qmr
