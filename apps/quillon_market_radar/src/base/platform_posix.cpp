#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <system_error>

#include "base/descriptor_io.hpp"
#include "base/platform.hpp"

namespace qmr::platform {

void prepare_standard_streams() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

bool stdout_is_colour_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

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

Result<std::string> read_private_file(const std::string& path, std::size_t max_bytes) {
  const auto failure = [&path](int error_number) {
    return Error{"cannot read " + path + ": " + std::system_category().message(error_number)};
  };
  // Opened first and judged by its descriptor: what is judged is what is read. Without
  // O_NONBLOCK, opening a FIFO would wait for a writer, for ever; on a regular file it changes
  // nothing.
  const descriptor_io::OwnedFd file(
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file.get() < 0) return failure(errno);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return failure(errno);
  if (!S_ISREG(info.st_mode)) return Error{path + " is not a regular file"};
  // Another user who may write the file may choose the token.
  const bool readable = (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
  if (readable || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", info.st_mode & 07777u);
    return Error{path + (readable ? " is readable" : " is writable") + " by other users (mode " +
                 mode + "): chmod 600 " + path};
  }
  std::string contents(max_bytes, '\0');
  std::size_t filled = 0, count = 1;
  while (filled < max_bytes && count != 0) {
    const int failed =
        descriptor_io::read_some(file.get(), contents.data() + filled, max_bytes - filled, count);
    if (failed != 0) return failure(failed);
    filled += count;
  }
  contents.resize(filled);
  return contents;
}

void return_free_memory() { malloc_trim(0); }

}  // namespace qmr::platform
