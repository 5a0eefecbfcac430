// The program's runtime: a fixed set of event loops, each run by a thread of its own. A task stays
// on the loop it was started on, so what it touches is used from one thread without locks; work
// is spread by choosing a loop when a task starts (the dashboard accepts on several).
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <cstddef>
#include <memory>
#include <vector>

#include "base/result.hpp"

namespace qmr {

class LoopPool {
 public:
  /// Makes `count` loops, at least one; none runs yet.
  explicit LoopPool(std::size_t count);
  LoopPool(const LoopPool&) = delete;
  LoopPool& operator=(const LoopPool&) = delete;
  ~LoopPool();

  [[nodiscard]] std::size_t size() const { return loops_.size(); }
  [[nodiscard]] asio::io_context& loop(std::size_t index) { return *loops_[index]; }

  /// Runs loop 0 on the calling thread and every other loop on a thread of its own until stop(),
  /// then returns once all have stopped. A loop stays running while it has nothing to do. A
  /// handler that throws out of a loop stops the process (`fatal_for`). Returns the error of a
  /// thread that cannot start ("memory allocation failed" when memory ran out); the loops are
  /// stopped then.
  [[nodiscard]] Status run();

  /// Stops every loop; may be called from any thread, before or during run().
  void stop();

 private:
  using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;
  std::vector<std::unique_ptr<asio::io_context>> loops_;
  std::vector<WorkGuard> idle_guards_;  // keep each loop running while it has nothing to do
};

}  // namespace qmr
