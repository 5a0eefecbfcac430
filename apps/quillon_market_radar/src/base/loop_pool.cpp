#include "base/loop_pool.hpp"

#include <exception>
#include <new>
#include <system_error>
#include <thread>

#include "base/platform.hpp"

namespace qmr {

namespace {

void run_loop(asio::io_context& loop) {
  try {
    loop.run();
  } catch (...) {
    fatal_for(std::current_exception());
  }
}

}  // namespace

LoopPool::LoopPool(std::size_t count) {
  if (count == 0) count = 1;
  loops_.reserve(count);
  idle_guards_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    // A hint of 1 tells asio that one thread runs the loop: what that thread posts to it goes on
    // the thread's private queue, and the loop never wakes another thread for work. Its locks
    // stay, uncontended: other threads still post to it and stop it.
    loops_.push_back(std::make_unique<asio::io_context>(1));
    idle_guards_.push_back(asio::make_work_guard(*loops_.back()));
  }
}

LoopPool::~LoopPool() {
  // The tasks still suspended on a loop are destroyed with it: the last loop first, so that loop
  // 0, where the program's root task waits, goes last.
  idle_guards_.clear();
  while (!loops_.empty()) loops_.pop_back();
}

Status LoopPool::run() {
  std::vector<std::thread> threads;
  threads.reserve(loops_.size() - 1);
  Status started = Done{};
  try {
    for (std::size_t i = 1; i < loops_.size(); ++i) {
      asio::io_context* loop = loops_[i].get();
      threads.emplace_back([loop] { run_loop(*loop); });
    }
  } catch (const std::system_error& error) {
    // The system says "Resource temporarily unavailable" (EAGAIN) both when there is no memory
    // for a thread's stack and when a limit on threads or processes is reached: it is exhausted
    // memory when no room for a stack is left either.
    const bool no_memory =
        error.code() == std::errc::resource_unavailable_try_again && !platform::thread_stack_fits();
    started = Error{no_memory ? "memory allocation failed" : error.what()};
    stop();
  } catch (const std::bad_alloc&) {
    started = Error{"memory allocation failed"};
    stop();
  }
  // The main thread runs loop 0, and with it the program's root task: a one-shot command starts,
  // runs and ends there, with no hand-over between threads at either end.
  if (started.ok()) run_loop(*loops_[0]);
  for (auto& thread : threads) thread.join();
  return started;
}

void LoopPool::stop() {
  for (auto& loop : loops_) loop->stop();
}

}  // namespace qmr
