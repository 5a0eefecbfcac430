#include "engine/result.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace qmr {

namespace {

// Writes all of `text` to standard error, straight to the descriptor: whatever state the streams
// are in, the message gets out.
void write_to_stderr(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void fatal(std::string_view message) {
  // Nothing is allocated on the way out: exhausted memory is one of the reasons to be here.
  write_to_stderr(message);
  write_to_stderr("\n");
  std::_Exit(ABNORMAL_EXIT_STATUS);
}

}  // namespace qmr
