// The dashboard's connections taken with asio's own accept, each served in the event loop by the
// server's steps: the build for every system but Linux, and Linux's without QMR_LINUX_FAST_PATH.
#include "ui/asio.hpp"
// ui/asio.hpp before everything else: see there.
#include <utility>

#include "ui/accept.hpp"

namespace qmr::ui {

using asio::ip::tcp;

struct Intake::State {
  asio::io_context& loop;
  tcp::acceptor& listener;
};

Intake::Intake(asio::io_context& loop, tcp::acceptor& listener, const ConnectionLimits&,
               const FixedResponses&, const ToolPath*)
    : state_(new State{loop, listener}) {}

Intake::~Intake() = default;

void Intake::prepare(tcp::acceptor&) {}

asio::awaitable<asio::error_code> Intake::accept_next(const WorkerHandle& owner,
                                                      const engine::EngineHandle& engine) {
  auto [error, socket] = co_await state_->listener.async_accept(state_->loop, with_error);
  if (error) co_return error;
  asio::co_spawn(state_->loop, serve_connection(owner, std::move(socket), engine), asio::detached);
  co_return asio::error_code();
}

}  // namespace qmr::ui
