// What the dashboard's server holds on each loop it accepts on, and how that loop takes its
// connections, once per build: CMake picks accept_asio.cpp, asio's own accept with every
// connection served in the event loop, or with QMR_LINUX_FAST_PATH accept_linux.cpp, Linux's own
// calls, with which nearly every connection is answered and closed without entering the loop.
#pragma once

#include "ui/asio.hpp"
// ui/asio.hpp before everything else: see there.
#include <memory>

#include "ui/connection.hpp"

namespace qmr::ui {

/// The first failure that ends the server, handed from a worker's loop to the task that awaits
/// the server. Safe to use from any thread; it holds one error and drops later ones. (The first
/// error_code of the signature is the channel's own.)
using Ending = asio::experimental::concurrent_channel<void(asio::error_code, asio::error_code)>;

struct Worker;
using WorkerHandle = std::shared_ptr<Worker>;

/// What a loop keeps to take its connections beyond its Worker (none with asio's accept).
class Intake;
/// Sets on `worker`'s listener what this way of taking connections asks of a listening socket (a
/// failure is ignored) and returns the intake of its loop.
[[nodiscard]] std::shared_ptr<Intake> make_intake(Worker& worker);
/// Waits for connections on `owner`'s listener and takes those that have arrived, each into a
/// task of its own on the loop, which holds `owner`. Returns the failure of an accept, if any.
[[nodiscard]] asio::awaitable<asio::error_code> accept_next(const WorkerHandle& owner);

/// What the server holds on one of the loops it accepts on, beyond what the loop's connections
/// share: the loop is its listener's. Used from that loop only, and owned by the tasks there: the
/// accept loop and each connection hold it, so it lives while any of them runs, and goes with its
/// loop at the latest.
struct Worker : LoopState {
  asio::ip::tcp::acceptor listener;  // this loop's own
  std::weak_ptr<Ending> ending;      // weak: once the server has ended, nobody waits for it
  asio::io_context& context = static_cast<asio::io_context&>(
      asio::query(listener.get_executor(), asio::execution::context));
  const std::shared_ptr<Intake> intake = make_intake(*this);
};

}  // namespace qmr::ui
