// The dashboard's listening socket, once per system (listener_posix.cpp, listener_windows.cpp):
// how many loops accept, how it is opened and bound, how each accepting loop takes it, which
// accept failures end it, and the words of a failure.
#pragma once

#include <asio/error_code.hpp>
#include <asio/ip/tcp.hpp>
#include <cstddef>
#include <string>
#include <vector>

#include "base/loop_pool.hpp"

namespace qmr::ui {

/// Returns how many event loops the dashboard accepts on, for a runtime sized to it on a machine
/// with `processors` logical processors: half of them on Linux, one on Windows; at least one.
[[nodiscard]] std::size_t dashboard_loops(std::size_t processors);

/// Opens, binds and sets listening `acceptor` on `endpoint`, non-blocking; returns the first
/// failure. The process's limit on open descriptors is raised first as far as it may go, so that
/// many clients do not run it out early; failing that, the server only reaches the limit sooner
/// (and then pauses its accepts rather than failing).
[[nodiscard]] asio::error_code open_listener(asio::ip::tcp::acceptor& acceptor,
                                             const asio::ip::tcp::endpoint& endpoint);

/// Hands the listener to the loops that accept (all of `loops`, or where a socket cannot be shared
/// between loops the listener's own): appends to `taken` one listener per accepting loop, each of
/// that loop, and lets `listener` go. Returns the first failure; `listener` is then
/// left open, and what `taken` holds closes with it.
[[nodiscard]] asio::error_code share_listener(asio::ip::tcp::acceptor& listener, LoopPool& loops,
                                              std::vector<asio::ip::tcp::acceptor>& taken);

/// Returns whether an accept failed only for a connection its client reset before it was taken:
/// the next accept follows at once.
[[nodiscard]] bool is_dropped_connection(const asio::error_code& error);

/// Returns whether an accept's failure is the listener's own, which a later accept would meet
/// again; the server ends with it.
[[nodiscard]] bool ends_listener(const asio::error_code& error);

/// Returns the message of a failure that ends the server, in Linux's words on every system.
[[nodiscard]] std::string message_of(const asio::error_code& error);

}  // namespace qmr::ui
