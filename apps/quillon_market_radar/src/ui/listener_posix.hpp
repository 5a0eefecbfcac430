// What the POSIX listener (listener_posix.cpp) decides beyond the interface of listener.hpp:
// which accept failures, told as errno values, leave the listener sound.
#pragma once

namespace qmr::ui {

/// Returns true when an accept failed with `error_number` (an errno value) for a reason that
/// leaves the listener sound: out of descriptors or memory, or a peer gone before it was taken.
/// The server waits briefly and accepts again after such a failure; any other ends it.
[[nodiscard]] bool is_transient_accept_error(int error_number);

}  // namespace qmr::ui
