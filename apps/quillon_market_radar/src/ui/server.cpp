#include "ui/dashboard.hpp"

namespace qmr::ui {

DashboardResponse route_request(std::string_view, std::string_view, const engine::EngineHandle&) {
  return {"404 NOT FOUND", "text/plain", "Not Found"};
}

asio::awaitable<Status> serve_dashboard(engine::EngineHandle, std::uint16_t) {
  co_return Error{"the dashboard server is not built yet"};
}

}  // namespace qmr::ui
