// The closing looks of the dashboard's Linux accept (accept_linux.cpp). After its response and
// half-close, a connection's socket waits, outside any event loop, for a look at the client's end
// of stream: a moment later, and if the client is still open, once more after a longer delay.
// Whatever the client sent meanwhile is read and dropped. At its end of stream, or past the drain
// bounds, the socket is closed; a client still open after the last look is handed back to its
// owner, to be drained in the event loop. An idle client closes within a fraction of a
// millisecond on loopback, a busy one (a load generator with many connections) within a few, so
// nearly every socket goes without entering the event loop at all.
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <cstddef>
#include <functional>
#include <optional>
#include <utility>

#include "base/descriptor_io.hpp"
#include "ui/drain_schedule.hpp"

namespace qmr::ui {

/// The connections of one event loop waiting for their closing looks, with one timer for all.
/// Used from that loop only.
class ClosingLooks {
 public:
  using Clock = asio::steady_timer::clock_type;
  using Entry = DrainSchedule<descriptor_io::OwnedFd>::Entry;
  /// Takes a connection that is still open after its last look.
  using HandOver = std::function<void(Entry)>;

  /// `drain_bytes` bounds what is read and dropped from one connection.
  ClosingLooks(asio::io_context& loop, std::size_t drain_bytes, HandOver hand_over);

  /// Queues a half-closed connection whose drain ends at `deadline` for its first look. Out of
  /// memory, the connection is closed at once.
  void add(descriptor_io::OwnedFd fd, Clock::time_point deadline);

 private:
  void look_at_due();
  void arm();

  std::size_t drain_bytes_;
  HandOver hand_over_;
  DrainSchedule<descriptor_io::OwnedFd> schedule_;
  asio::steady_timer timer_;
  std::optional<Clock::time_point> armed_for_;  // while a wait of the timer is pending
};

}  // namespace qmr::ui
