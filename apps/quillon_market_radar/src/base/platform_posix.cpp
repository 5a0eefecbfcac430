#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>

#include "base/platform.hpp"

namespace qmr::platform {

void prepare_standard_streams() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

bool stdout_is_colour_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

// Maps, untouched, what the C library maps for a thread's stack by default (the stack limit,
// usually 8 MiB), and lets it go.
bool thread_stack_fits() {
  std::size_t size = 8 * 1024 * 1024;
  pthread_attr_t defaults;
  if (::pthread_getattr_default_np(&defaults) == 0) {
    static_cast<void>(::pthread_attr_getstacksize(&defaults, &size));
    ::pthread_attr_destroy(&defaults);
  }
  void* stack =
      ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) return false;
  ::munmap(stack, size);
  return true;
}

}  // namespace qmr::platform
