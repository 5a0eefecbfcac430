#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <initializer_list>

#include "base/platform.hpp"

namespace qmr::platform {

namespace {

// Set once, before any thread but the first runs: whether standard output is a console that
// interprets colour sequences.
bool colour_console = false;

}  // namespace

void prepare_standard_streams() {
  // Text mode would write every LF as CR LF, which the tool server's hosts take for a broken
  // line, and read CR LF as LF. The program writes through the handles, and the runtime's text
  // mode must not touch them either.
  for (const int fd : {0, 1, 2}) static_cast<void>(_setmode(fd, _O_BINARY));

  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  // GetConsoleMode succeeds on a console only: a pipe, a file or NUL (where _isatty would say
  // yes) keep their raw bytes.
  if (output == nullptr || output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode)) return;
  // The program's text is UTF-8 ("₹", "µ", emoji); the console shows it as such.
  SetConsoleOutputCP(CP_UTF8);
  colour_console =
      (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
      SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING | ENABLE_PROCESSED_OUTPUT);
}

bool stdout_is_colour_terminal() { return colour_console; }

// Reserves, uncommitted, what a thread's stack reserves by default (2 MiB for a program linked by
// mingw-w64), and lets it go.
bool thread_stack_fits() {
  void* stack = VirtualAlloc(nullptr, 2 * 1024 * 1024, MEM_RESERVE, PAGE_NOACCESS);
  if (stack == nullptr) return false;
  VirtualFree(stack, 0, MEM_RELEASE);
  return true;
}

}  // namespace qmr::platform
