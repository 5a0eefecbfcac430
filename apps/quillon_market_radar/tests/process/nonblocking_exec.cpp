// Test helper: makes the open file descriptions of standard input and output non-blocking, as a
// parent that shares them may, then runs the given program on them. With --fill it first writes
// '#' to standard output until the reader's side is full, so the program's first write meets a
// full descriptor.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

int main(int argc, char** argv) {
  int first = 1;
  const bool fill = argc > 1 && std::strcmp(argv[1], "--fill") == 0;
  if (fill) ++first;
  if (first >= argc) {
    std::fprintf(stderr, "usage: nonblocking_exec [--fill] PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO}) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
      std::perror("nonblocking_exec: fcntl");
      return 2;
    }
  }
  if (fill) {
    char block[4096];
    std::memset(block, '#', sizeof block);
    // Down to single bytes, so not even one byte more would fit.
    for (std::size_t size = sizeof block; size > 0; size /= 2) {
      while (::write(STDOUT_FILENO, block, size) > 0) {
      }
      if (errno != EAGAIN) {
        std::perror("nonblocking_exec: write");
        return 2;
      }
    }
  }
  ::execv(argv[first], argv + first);
  std::perror("nonblocking_exec: execv");
  return 2;
}
