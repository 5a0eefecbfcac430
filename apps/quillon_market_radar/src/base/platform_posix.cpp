#include <unistd.h>

#include <csignal>

#include "base/platform.hpp"

namespace qmr::platform {

void prepare_standard_streams() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

bool stdout_is_colour_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

}  // namespace qmr::platform
