#include "ui/accept.hpp"
// ui/accept.hpp, and so ui/asio.hpp, before everything else: see there.
#include <utility>

namespace qmr::ui {

std::shared_ptr<Intake> make_intake(Worker&) { return nullptr; }

asio::awaitable<asio::error_code> accept_next(const WorkerHandle& owner) {
  auto [error, socket] = co_await owner->listener.async_accept(owner->context, with_error);
  if (error) co_return error;
  asio::co_spawn(owner->context, serve_connection(owner, std::move(socket)), asio::detached);
  co_return asio::error_code();
}

}  // namespace qmr::ui
