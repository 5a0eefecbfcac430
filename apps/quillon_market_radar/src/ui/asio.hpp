// asio's headers as the dashboard's server sources take them, first of all their includes: gcc 12
// reports a possible null dereference in asio's reactor once it inlines it into our code
// (scheduler::compensating_work_started, which runs only on a thread inside the loop, where the
// pointer is set). A system header's code is exempt from our warnings, except when inlined; the
// exemption is restored for asio's headers here, and the warning holds for the includer's code.
#pragma once

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#pragma GCC diagnostic pop

namespace qmr::ui {

/// The completion token of an asynchronous call whose error is a result, not an exception.
inline constexpr auto with_error = asio::experimental::as_tuple(asio::use_awaitable);

}  // namespace qmr::ui
