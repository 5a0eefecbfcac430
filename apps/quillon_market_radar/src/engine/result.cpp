#include "engine/result.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace qmr {

void fatal(std::string_view message) {
  std::string line(message);
  line += '\n';
  // Straight to the descriptor: whatever state the streams are in, the message gets out.
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  std::_Exit(ABNORMAL_EXIT_STATUS);
}

}  // namespace qmr
