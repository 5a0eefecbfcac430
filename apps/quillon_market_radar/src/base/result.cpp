#include "base/result.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "base/descriptor_io.hpp"

namespace qmr {

void fatal(std::string_view message) {
  // Straight to the descriptor, whatever state the streams are in, and nothing allocated on the
  // way out: exhausted memory is one of the reasons to be here.
  static_cast<void>(descriptor_io::write_all(STDERR_FILENO, message));
  static_cast<void>(descriptor_io::write_all(STDERR_FILENO, "\n"));
  std::_Exit(ABNORMAL_EXIT_STATUS);
}

}  // namespace qmr
