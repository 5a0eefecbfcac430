// What the process sets up about its standard streams before anything is written, what it asks
// of its console, and whether a thread's stack still fits, once per system: platform_posix.cpp
// for Linux, platform_windows.cpp for Windows.
#pragma once

namespace qmr::platform {

/// Prepares the process's standard streams. On Linux, a write to a closed pipe or past the
/// file-size limit then fails with an error the program reports (EPIPE, EFBIG) instead of a silent
/// kill by SIGPIPE or SIGXFSZ. On Windows, the three streams move bytes untranslated (no CR is
/// added before an LF, none taken away), and a console shows UTF-8 and colour sequences.
void prepare_standard_streams();

/// Returns whether standard output is a terminal that shows colour sequences: a tty on Linux; on
/// Windows a console whose virtual-terminal processing is on (never a pipe or a file).
[[nodiscard]] bool stdout_is_colour_terminal();

/// Returns whether the address space for the stack of one more thread can still be mapped: false
/// once memory, or the address space the process may use (ulimit -v), has run out.
[[nodiscard]] bool thread_stack_fits();

}  // namespace qmr::platform
