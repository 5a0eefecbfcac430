// The snapshot every answer is taken from: an engine that is never changed, replaced whole when
// its source has changed (a finished import in the seller's store), and what the layers above make
// once per snapshot (the dashboard's framed responses, the tools' texts), made again after a swap.
// A request takes the current snapshot once and answers from it alone, so no answer mixes two.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "engine/market_engine.hpp"

namespace qmr::engine {

/// The current engine of a source, replaced as a whole. Safe to use from several threads at once.
class LiveEngine {
 public:
  explicit LiveEngine(EngineHandle first) : current_(std::move(first)) {}

  /// Returns the current engine.
  [[nodiscard]] EngineHandle current() const {
    std::lock_guard lock(mutex_);
    return current_;
  }

  /// Returns how many times the engine has been replaced: a cheap test of whether what was made
  /// from an earlier one is still the current engine's.
  [[nodiscard]] std::uint64_t generation() const {
    return generation_.load(std::memory_order_acquire);
  }

  /// Makes `next` the current engine; answers under way finish on the one they took.
  void publish(EngineHandle next) {
    std::lock_guard lock(mutex_);
    current_.swap(next);
    generation_.fetch_add(1, std::memory_order_acq_rel);
    // The engine replaced, now in `next`, is freed after the lock is released (a parameter
    // outlives the function's locals), unless an answer still holds it.
  }

 private:
  // A plain shared_ptr under a mutex rather than std::atomic<std::shared_ptr>: libstdc++ 12's
  // lock bit inside the atomic is not seen by ThreadSanitizer, which reported every swap as a
  // data race; the lock is held only to copy the pointer.
  mutable std::mutex mutex_;
  EngineHandle current_;
  std::atomic<std::uint64_t> generation_{0};
};

/// Where the layers above the engine take their snapshots from: a live engine, or made from one
/// engine, that engine for good (the tests', and every caller that has a fixed catalogue).
class Snapshots {
 public:
  // Implicit: an engine is the source that never changes.
  Snapshots(EngineHandle fixed)  // NOLINT(google-explicit-constructor)
      : live_(std::make_shared<const LiveEngine>(std::move(fixed))) {}
  explicit Snapshots(std::shared_ptr<const LiveEngine> live) : live_(std::move(live)) {}

  [[nodiscard]] EngineHandle current() const { return live_->current(); }
  [[nodiscard]] std::uint64_t generation() const { return live_->generation(); }

 private:
  std::shared_ptr<const LiveEngine> live_;
};

/// A value made from the current snapshot, made again the first time it is asked for after the
/// snapshot has been replaced. Safe to use from several threads at once: two that see a new
/// snapshot together may both make the value, and either is kept; each value is made from one
/// engine alone.
template <typename T>
class PerSnapshot {
 public:
  using Make = std::function<std::shared_ptr<const T>(const EngineHandle&)>;

  PerSnapshot(Snapshots source, Make make) : source_(std::move(source)), make_(std::move(make)) {}
  // Moved only while one thread has it, before it is shared.
  PerSnapshot(PerSnapshot&& other) noexcept
      : source_(std::move(other.source_)),
        make_(std::move(other.make_)),
        generation_(other.generation_),
        value_(std::move(other.value_)) {}

  /// Returns the value of the current snapshot, made now if it has not been yet.
  [[nodiscard]] std::shared_ptr<const T> get() const {
    // The generation is read before the engine: a value made from a later engine than its
    // generation says is made once more at the next call, never kept for a newer generation.
    const std::uint64_t generation = source_.generation();
    {
      std::lock_guard lock(mutex_);
      if (value_ && generation_ == generation) return value_;
    }
    std::shared_ptr<const T> fresh = make_(source_.current());
    std::lock_guard lock(mutex_);
    generation_ = generation;
    value_.swap(fresh);  // the value replaced is freed in `fresh`, after the lock
    return value_;
  }

 private:
  Snapshots source_;
  Make make_;
  // Under a mutex, as LiveEngine's engine is: held only to compare, copy or swap the two.
  mutable std::mutex mutex_;
  mutable std::uint64_t generation_ = 0;
  mutable std::shared_ptr<const T> value_;
};

}  // namespace qmr::engine
