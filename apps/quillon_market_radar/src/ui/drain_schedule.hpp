// When the dashboard looks at a closing connection again: pure bookkeeping over handles and time
// points. The Linux accept's Intake (accept_linux.cpp) does the looking and keeps the timer.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace qmr::ui {

/// The connections waiting for a look, one queue per look. Every entry of a queue waited the same
/// delay, so each queue is in time order and only its front can be due first. `Handle` owns the
/// connection (the server's owns a descriptor); an entry dropped on the way closes it.
template <typename Handle>
class DrainSchedule {
 public:
  using Clock = std::chrono::steady_clock;

  struct Entry {
    Handle handle;
    Clock::time_point deadline;  // of the whole drain
    std::size_t drained = 0;     // bytes read and dropped so far
    std::size_t look = 0;        // index into the delays: the look this entry waits for
    Clock::time_point check_at{};
  };

  /// `delays[i]` is how long an entry waits for look `i`, counted from when it is added.
  explicit DrainSchedule(std::span<const Clock::duration> delays)
      : delays_(delays.begin(), delays.end()), queues_(delays.size()) {}

  /// Returns true when an entry that has had look `look` has another one to come.
  [[nodiscard]] bool has_next_look(std::size_t look) const { return look + 1 < delays_.size(); }

  /// Queues `entry` for its look `entry.look` (which must be a valid index), due at `now` plus
  /// that look's delay. When this throws, the entry is dropped (and its handle closed).
  void add(Entry entry, Clock::time_point now) {
    entry.check_at = now + delays_[entry.look];
    queues_[entry.look].push_back(std::move(entry));
  }

  /// Removes and returns the entries due by `now`, earlier looks first.
  [[nodiscard]] std::vector<Entry> take_due(Clock::time_point now) {
    std::vector<Entry> due;
    for (auto& queue : queues_) {
      while (!queue.empty() && queue.front().check_at <= now) {
        due.push_back(std::move(queue.front()));
        queue.pop_front();
      }
    }
    return due;
  }

  /// Returns the time of the earliest look to come, or nothing when no entry waits.
  [[nodiscard]] std::optional<Clock::time_point> next_due() const {
    std::optional<Clock::time_point> next;
    for (const auto& queue : queues_) {
      if (!queue.empty() && (!next || queue.front().check_at < *next)) {
        next = queue.front().check_at;
      }
    }
    return next;
  }

 private:
  std::vector<Clock::duration> delays_;
  std::vector<std::deque<Entry>> queues_;
};

}  // namespace qmr::ui
