// The least an HTTP server can do on Linux for bench/products-page: one thread that accepts a
// connection, reads its request once, sends one fixed response of BODY_BYTES bytes with MSG_MORE,
// half-closes and closes, with the dashboard's listener options (delayed acknowledgements, deferred
// accept). Run at the sizes of the demo's list and of a store's page, it shows what the bytes alone
// cost a client and a server sharing the processors, with nothing of ours in the way.
//   bare_server PORT BODY_BYTES    (serves 127.0.0.1:PORT until it is killed)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: bare_server PORT BODY_BYTES\n", stderr);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const std::size_t body = std::strtoul(argv[2], nullptr, 10);
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
      std::to_string(body) + "\r\nConnection: close\r\n\r\n" + std::string(body, 'x');
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  const int off = 0;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ::setsockopt(listener, IPPROTO_TCP, TCP_QUICKACK, &off, sizeof off);
  ::setsockopt(listener, IPPROTO_TCP, TCP_DEFER_ACCEPT, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, SOMAXCONN) != 0) {
    std::perror("bare_server");
    return 1;
  }
  char request[4096];
  for (;;) {
    const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    if (::recv(connection, request, sizeof request, 0) > 0) {
      ::send(connection, response.data(), response.size(), MSG_NOSIGNAL | MSG_MORE);
      ::shutdown(connection, SHUT_WR);
    }
    ::close(connection);
  }
}
