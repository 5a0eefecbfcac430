#include "ui/closing_looks.hpp"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <new>

#include "ui/request.hpp"

namespace qmr::ui {

namespace {

// The delays of the two looks, each counted from when the connection was queued for it.
constexpr std::array<ClosingLooks::Clock::duration, 2> LOOK_DELAYS = {
    std::chrono::milliseconds(2), std::chrono::milliseconds(20)};

}  // namespace

ClosingLooks::ClosingLooks(asio::io_context& loop, std::size_t drain_bytes, HandOver hand_over)
    : drain_bytes_(drain_bytes),
      hand_over_(std::move(hand_over)),
      schedule_(LOOK_DELAYS),
      timer_(loop) {}

void ClosingLooks::add(descriptor_io::OwnedFd fd, Clock::time_point deadline) {
  try {
    schedule_.add({std::move(fd), deadline}, Clock::now());
    arm();
  } catch (const std::bad_alloc&) {
    // The connection was dropped (closed), or the timer is left unset until the next one sets it.
  }
}

// Sets the timer for the earliest look to come, unless a wait is pending for that time or an
// earlier one. When this goes, its timer ends the wait with an error, and the handler touches
// nothing. A handler that was already due when the timer was set again runs once more than
// needed, which is harmless.
void ClosingLooks::arm() {
  const auto next = schedule_.next_due();
  if (!next || (armed_for_ && *armed_for_ <= *next)) return;
  armed_for_.reset();
  timer_.expires_at(*next);
  timer_.async_wait([this](const asio::error_code& error) {
    if (error) return;  // set again, or gone
    armed_for_.reset();
    look_at_due();
  });
  armed_for_ = *next;
}

// Looks at each due connection, as the top of the header tells.
void ClosingLooks::look_at_due() {
  std::array<char, REQUEST_BUFFER_SIZE> buffer;
  const auto now = Clock::now();
  try {
    for (auto& entry : schedule_.take_due(now)) {
      while (entry.drained < drain_bytes_ && now < entry.deadline) {
        const ssize_t count =
            ::recv(entry.handle.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (count > 0) {
          entry.drained += static_cast<std::size_t>(count);
          continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && descriptor_io::would_block(errno)) {
          if (schedule_.has_next_look(entry.look)) {
            ++entry.look;
            schedule_.add(std::move(entry), now);
          } else {
            hand_over_(std::move(entry));
          }
        }
        break;  // end of stream, or a failure: the socket is closed
      }
    }
  } catch (const std::bad_alloc&) {
    // The connection at hand was dropped (closed); the others still get their look.
  }
  try {
    arm();
  } catch (const std::bad_alloc&) {
    // Set by the next connection that is queued.
  }
}

}  // namespace qmr::ui
