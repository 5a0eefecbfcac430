// What differs between Linux (platform_posix.cpp) and Windows (platform_windows.cpp): the standard
// streams and the console, room for a thread's stack, reading a private file, freed memory.
#pragma once

#include <cstddef>
#include <string>

#include "base/result.hpp"

namespace qmr::platform {

/// Prepares the process's standard streams. On Linux, a write to a closed pipe or past the
/// file-size limit then fails with an error the program reports (EPIPE, EFBIG) instead of a silent
/// kill by SIGPIPE or SIGXFSZ. On Windows, the three streams move bytes untranslated (no CR is
/// added before an LF, none taken away), and a console shows UTF-8 and colour sequences.
void prepare_standard_streams();

/// Returns whether standard output is a terminal that shows colour sequences: a tty on Linux; on
/// Windows a console whose virtual-terminal processing is on (never a pipe or a file).
[[nodiscard]] bool stdout_is_colour_terminal();

/// Returns whether standard error is a terminal (a tty on Linux, a console on Windows), where a
/// progress bar may be drawn.
[[nodiscard]] bool stderr_is_terminal();

/// Returns whether the address space for the stack of one more thread can still be mapped: false
/// once memory, or the address space the process may use (ulimit -v), has run out.
[[nodiscard]] bool thread_stack_fits();

/// Returns the first `max_bytes` bytes of the regular file at `path` (UTF-8), or an error that
/// names the file and says why: it cannot be opened, it is not a regular file (a FIFO, a device or
/// a folder, found so without waiting for a writer), or another user may read it or write it. On
/// Linux that is a mode with the group's or others' read or write bit; on Windows a discretionary
/// access list that is missing, or that lets read or write the file (or its access list) a group
/// of users (Everyone, Users, Authenticated Users, Guests, anonymous logons) or any account other
/// than its owner, this process's user, the system and the administrators.
[[nodiscard]] Result<std::string> read_private_file(const std::string& path, std::size_t max_bytes);

/// Hands the memory the allocator holds free back to the system, after many small blocks were
/// freed together (a large snapshot replaced). On Linux glibc keeps them otherwise; on Windows
/// the heap gives back whole free regions by itself, and this does nothing.
void return_free_memory();

}  // namespace qmr::platform
