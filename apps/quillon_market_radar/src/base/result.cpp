#include "base/result.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/descriptor_io.hpp"

namespace qmr {

void fatal(std::string_view message) {
  std::string line(message);
  line += '\n';
  // Straight to the descriptor: whatever state the streams are in, the message gets out.
  static_cast<void>(descriptor_io::write_all(STDERR_FILENO, line));
  std::_Exit(ABNORMAL_EXIT_STATUS);
}

}  // namespace qmr
