#include "ui/dashboard.hpp"

namespace qmr::ui {

asio::awaitable<Status> serve_dashboard(engine::EngineHandle, std::uint16_t, ConnectionLimits) {
  co_return Error{"the dashboard server is not built yet"};
}

}  // namespace qmr::ui
