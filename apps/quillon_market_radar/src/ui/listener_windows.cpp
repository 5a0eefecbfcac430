// The dashboard's listener on Windows: exclusive use of the port, one accepting loop that takes
// the listener itself, and Winsock's failures told in Linux's words.
#include "ui/listener.hpp"

namespace qmr::ui {

using asio::ip::tcp;

// A socket is bound to the completion port of one loop for good: one loop, the listener's own,
// accepts.
std::size_t dashboard_loops(std::size_t) { return 1; }

// Windows has no limit on open sockets to raise. Its address reuse would let a second listener
// take the port; exclusive use fails that bind (with "address in use") and still binds beside
// connections in TIME_WAIT. The backlog is the system's largest, as on Linux.
asio::error_code open_listener(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
  using exclusive_address_use =
      asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
  asio::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(exclusive_address_use(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(tcp::acceptor::max_listen_connections, error);
  if (!error) acceptor.non_blocking(true, error);
  return error;
}

asio::error_code share_listener(tcp::acceptor& listener, LoopPool&,
                                std::vector<tcp::acceptor>& taken) {
  taken.push_back(std::move(listener));
  return {};
}

// A connection its client reset before it was taken: the next one is taken at once. asio retries
// Windows' own code for it (ERROR_NETNAME_DELETED) itself; Wine reports an unexpected network
// error instead, and a pause for each would keep a storm of resets waiting seconds.
bool is_dropped_connection(const asio::error_code& error) {
  return error == asio::error::connection_aborted || error == asio::error::connection_reset ||
         error.value() == ERROR_UNEXP_NET_ERR;
}

// Winsock's codes are not errno values: a closed listener is told by asio's names.
bool ends_listener(const asio::error_code& error) {
  return error == asio::error::operation_aborted || error == asio::error::bad_descriptor ||
         error == asio::error::not_socket || error == asio::error::invalid_argument;
}

// The port in use is told in Linux's words, as the other system errors are (Winsock's own message
// would differ by system).
std::string message_of(const asio::error_code& error) {
  if (error == asio::error::address_in_use) return "Address already in use";
  if (error == asio::error::access_denied) return "Permission denied";
  return error.message();
}

}  // namespace qmr::ui
