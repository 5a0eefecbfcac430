// The dashboard server on real loopback sockets, inside the test process: idle connections, the
// drain after the response and its two bounds, requests larger than the read buffer, tool-server
// requests read across several reads, within the idle time and the loop's budget, a port that is
// taken, and the accept failures the listener rides out. The connection limits are shortened so
// that no test waits a minute.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/market_engine.hpp"
#include "ui/listener.hpp"
#include "ui/server.hpp"

namespace qmr::ui {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A client socket, closed when the value goes.
class Client {
 public:
  explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = loopback(port);
    // A send that cannot proceed fails after a while rather than hanging the test.
    const timeval send_limit{.tv_sec = 5, .tv_usec = 0};
    if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool connected() const { return fd_ >= 0; }

  static sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

  // Sends all of `bytes`; returns 0, or the errno of the failed send.
  int send(std::string_view bytes) {
    while (!bytes.empty()) {
      const auto n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0) return errno;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
  }

  // Sends one byte and looks for an error a moment later; returns 0, or the errno of the
  // failure, e.g. ECONNRESET once the server's socket is gone.
  int probe() {
    if (const int error = send("x")) return error;
    std::this_thread::sleep_for(50ms);
    char byte;
    if (::recv(fd_, &byte, 1, MSG_DONTWAIT) < 0 && errno != EAGAIN) return errno;
    return 0;
  }

  struct Received {
    std::string bytes;
    bool closed = false;  // the server's end of stream arrived
    int error = 0;        // errno of a failed receive, e.g. ECONNRESET
  };

  // Receives until the server's end of stream, an error, `limit` elapsed or `max_bytes` arrived.
  Received receive(std::chrono::milliseconds limit, std::size_t max_bytes = SIZE_MAX) {
    Received received;
    const auto deadline = Clock::now() + limit;
    while (received.bytes.size() < max_bytes) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left <= 0ms) break;
      pollfd wait{fd_, POLLIN, 0};
      if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) break;
      char chunk[16384];
      const auto n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n < 0) {
        received.error = errno;
        break;
      }
      if (n == 0) {
        received.closed = true;
        break;
      }
      received.bytes.append(chunk, static_cast<std::size_t>(n));
    }
    return received;
  }

 private:
  int fd_;
};

// Returns a loopback port that was free a moment ago.
std::uint16_t free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Client::loopback(0);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string response_to(std::string_view request) {
  const auto engine = engine::MarketEngine::create();
  const FixedResponses fixed(engine);
  std::string built;
  const std::string* response = answer_first_read(request, engine, fixed, nullptr, built).response;
  return response == nullptr ? "(silence)" : *response;
}

TEST(AcceptErrors, ResourceAndPeerFailuresAreRetriedListenerFailuresEndTheServer) {
  for (const int transient : {EMFILE, ENFILE, ENOBUFS, ENOMEM, ECONNABORTED, EPROTO, EPERM,
                              ENETDOWN, ENETUNREACH, EHOSTUNREACH, ENOPROTOOPT, EAGAIN, EINTR}) {
    EXPECT_FALSE(ends_listener({transient, asio::system_category()})) << transient;
  }
  for (const int fatal : {EBADF, EINVAL, ENOTSOCK, EFAULT, ECANCELED}) {
    EXPECT_TRUE(ends_listener({fatal, asio::system_category()})) << fatal;
  }
}

class DashboardServer : public testing::Test {
 protected:
  DashboardServer() : runner_([this] { EXPECT_TRUE(runtime_.run().ok()); }) {}

  ~DashboardServer() override {
    runtime_.stop();
    runner_.join();
  }

  // Runs the server on `port`; the returned future holds its error message once it ends.
  std::future<std::string> serve(std::uint16_t port, ConnectionLimits limits,
                                 ToolServerOptions tools = {}) {
    auto ended = std::make_shared<std::promise<std::string>>();
    auto future = ended->get_future();
    auto run = [](std::uint16_t on_port, LoopPool& loops, ConnectionLimits with_limits,
                  ToolServerOptions with_tools,
                  std::shared_ptr<std::promise<std::string>> result) -> asio::awaitable<void> {
      const Status status = co_await serve_dashboard(engine::MarketEngine::create(), on_port, loops,
                                                     with_limits, std::move(with_tools));
      result->set_value(status.ok() ? std::string() : status.error().message);
    };
    asio::co_spawn(runtime_.loop(0), run(port, runtime_, limits, std::move(tools), ended),
                   asio::detached);
    return future;
  }

  // Starts the server on a free port, taking another one when some process took it first, and
  // returns once it accepts connections.
  void start(ConnectionLimits limits, const ToolServerOptions& tools = {}) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      port_ = free_port();
      auto ended = serve(port_, limits, tools);
      const auto deadline = Clock::now() + 5s;
      while (Clock::now() < deadline && ended.wait_for(0s) != std::future_status::ready) {
        if (Client(port_).connected()) return;
        std::this_thread::sleep_for(10ms);
      }
    }
    FAIL() << "the server did not start";
  }

  LoopPool runtime_{2};
  std::thread runner_;
  std::uint16_t port_ = 0;
};

TEST_F(DashboardServer, AnswersOneRequestPerConnectionAndClosesOrClosesWithoutAByte) {
  start({});
  // Without a method and a path, the connection closes without a byte.
  for (const std::string_view request :
       {"GET /api/status HTTP/1.1\r\nHost: x\r\n\r\n", "POST /api/reprice HTTP/1.1\r\n\r\n",
        "GET /", "GET /api/medicines\r\n", "GET /\xFF HTTP/1.1\r\n", "GET\r\n",
        "\r\nGET / HTTP/1.1\r\n\r\n", " \t \r\n"}) {
    Client client(port_);
    ASSERT_TRUE(client.connected());
    ASSERT_EQ(client.send(request), 0);
    const auto received = client.receive(10s);
    const std::string expected = response_to(request);
    EXPECT_TRUE(received.closed) << testing::PrintToString(request);
    EXPECT_EQ(received.error, 0) << testing::PrintToString(request);
    EXPECT_EQ(received.bytes, expected == "(silence)" ? "" : expected)
        << testing::PrintToString(request);
  }
}

TEST_F(DashboardServer, ClosesAConnectionIdleForTheIdleTimeWithoutAByte) {
  const ConnectionLimits limits{.idle_timeout = 400ms};
  start(limits);
  Client client(port_);
  ASSERT_TRUE(client.connected());
  const auto connected_at = Clock::now();
  // Well before the idle time the connection is still open.
  const auto early = client.receive(100ms);
  EXPECT_FALSE(early.closed);
  EXPECT_EQ(early.bytes, "");
  const auto received = client.receive(10s);
  EXPECT_TRUE(received.closed);
  EXPECT_EQ(received.error, 0);
  EXPECT_EQ(received.bytes, "");
  EXPECT_GE(Clock::now() - connected_at, limits.idle_timeout);
}

TEST_F(DashboardServer, AnswersARequestThatArrivesWithinTheIdleTime) {
  start({.idle_timeout = 4s});
  // The listener hands over a connection when its request arrives or, for a silent client, about
  // a second after its handshake: a request both before and after that is answered.
  Client early(port_);
  Client late(port_);
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(early.send("GET / HTTP/1.1\r\n\r\n"), 0);
  std::this_thread::sleep_for(2200ms);
  ASSERT_EQ(late.send("GET /api/status HTTP/1.1\r\n\r\n"), 0);
  const auto early_received = early.receive(10s);
  EXPECT_TRUE(early_received.closed);
  EXPECT_EQ(early_received.bytes, response_to("GET /"));
  const auto late_received = late.receive(10s);
  EXPECT_TRUE(late_received.closed);
  EXPECT_EQ(late_received.bytes, response_to("GET /api/status"));
}

TEST_F(DashboardServer, AnswersARequestLargerThanTheBufferWhole) {
  start({});
  // Only the first read counts; the unread rest must not turn the close into a reset.
  const std::string request =
      "GET /api/status HTTP/1.1\r\nX-Padding: " + std::string(10'000, 'a') + "\r\n\r\n";
  for (int round = 0; round < 20; ++round) {
    Client client(port_);
    ASSERT_EQ(client.send(request), 0);
    const auto received = client.receive(10s);
    ASSERT_EQ(received.error, 0) << "round " << round;
    ASSERT_TRUE(received.closed) << "round " << round;
    ASSERT_EQ(received.bytes, response_to("GET /api/status")) << "round " << round;
  }
}

TEST_F(DashboardServer, DropsWhatTheClientSendsAfterTheResponseForTheDrainTimeOnly) {
  start({.drain_time = 1500ms});
  Client client(port_);
  ASSERT_EQ(client.send("GET /api/status HTTP/1.1\r\n\r\n"), 0);
  const auto response = client.receive(10s);
  ASSERT_TRUE(response.closed);  // the server half-closed after its response
  ASSERT_EQ(response.bytes, response_to("GET /api/status"));

  // While the server drains, more data is read and dropped: no reset.
  EXPECT_EQ(client.probe(), 0);
  EXPECT_EQ(client.probe(), 0);

  // Once the drain time is over the socket is gone and further data is refused with a reset.
  int refused = 0;
  for (const auto deadline = Clock::now() + 10s; refused == 0 && Clock::now() < deadline;) {
    refused = client.probe();
  }
  EXPECT_TRUE(refused == ECONNRESET || refused == EPIPE) << refused;
}

TEST_F(DashboardServer, StopsDrainingAfterTheDrainBytes) {
  start({.drain_time = 60s, .drain_bytes = 16 * 1024});
  Client client(port_);
  ASSERT_EQ(client.send("POST /api/reprice HTTP/1.1\r\n\r\n"), 0);
  ASSERT_EQ(client.receive(10s).bytes, response_to("POST /api/reprice"));
  // A client that keeps sending is cut off after the byte bound, long before the drain time.
  const std::string chunk(4096, 'z');
  int refused = 0;
  std::size_t sent = 0;
  for (const auto deadline = Clock::now() + 10s; refused == 0 && Clock::now() < deadline;) {
    refused = client.send(chunk);
    if (refused == 0) sent += chunk.size();
  }
  EXPECT_TRUE(refused == ECONNRESET || refused == EPIPE) << refused;
  EXPECT_GE(sent, 16u * 1024);
}

// A POST to the tool server with a body of `size` bytes; the endpoint below replies with the
// body's length.
std::string tool_post(std::uint16_t port, std::size_t size) {
  return "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(size) +
         "\r\n\r\n" + std::string(size, 'b');
}

ToolServerOptions length_endpoint() {
  return {[](const ToolServerCall& call) {
            return ToolServerReply{200, std::to_string(call.body.size())};
          },
          {},
          std::nullopt};
}

TEST_F(DashboardServer, ReadsToolRequestsAcrossReadsWithinTheIdleTimeAndTheLoopsBudget) {
  // Room for one request of 64 KiB a loop; this runtime accepts on one or two loops.
  start({.idle_timeout = 1500ms, .tool_request_budget = 70 * 1024}, length_endpoint());
  const auto framed = [](std::string_view status, std::string_view body) {
    return std::string("HTTP/1.1 ") + std::string(status) +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nVary: Origin\r\nConnection: close\r\n\r\n" + std::string(body);
  };
  const auto refused = [&framed](std::string_view status, int code) {
    const std::string message(status.substr(4));
    return framed(status, R"({"error":{"code":)" + std::to_string(code) + R"(,"message":")" +
                              message + R"("},"jsonrpc":"2.0"})");
  };
  struct Case {
    std::string what;
    std::string request;
    // Where the client pauses, in bytes of the request.
    std::vector<std::size_t> cuts;
    std::chrono::milliseconds pause;
    std::string response;  // "(silence)" when the connection closes without a byte
  };
  const std::string head = tool_post(port_, 0);
  const Case cases[] = {
      {"the head in pieces",
       tool_post(port_, 2),
       {12, head.size() - 3, head.size() + 1},
       100ms,
       framed("200 OK", "2")},
      {"a request line in pieces", tool_post(port_, 3), {4, 8}, 100ms, framed("200 OK", "3")},
      {"a dashboard request line cut where it could still be the tool server's",
       "GET /api/status HTTP/1.1\r\n\r\n",
       {5},
       100ms,
       response_to("GET /api/status")},
      {"a body of 60 KiB in pieces",
       tool_post(port_, 60 * 1024),
       {head.size() + 7, head.size() + 30'000},
       100ms,
       framed("200 OK", "61440")},
      {"a body past the budget",
       tool_post(port_, 100 * 1024),
       {head.size()},
       100ms,
       refused("503 Service Unavailable", -32603)},
      // Read on past the usual drain, so that a client still sending gets to read the refusal.
      {"a body past the limit, sent whole",
       tool_post(port_, 16 * TOOL_BODY_LIMIT),
       {},
       0ms,
       refused("413 Content Too Large", -32600)},
      {"a body slower than the idle time",
       tool_post(port_, 10),
       {head.size() + 5},
       2500ms,
       "(silence)"},
  };
  for (const auto& [what, request, cuts, pause, response] : cases) {
    Client client(port_);
    std::size_t sent = 0;
    for (const std::size_t cut : cuts) {
      ASSERT_EQ(client.send(std::string_view(request).substr(sent, cut - sent)), 0) << what;
      sent = cut;
      std::this_thread::sleep_for(pause);
    }
    // A client whose request was refused early or dropped may find the connection gone.
    const int send_error = client.send(std::string_view(request).substr(sent));
    const auto received = client.receive(10s);
    EXPECT_TRUE(received.closed || received.error != 0) << what;
    EXPECT_EQ(received.bytes.empty() ? "(silence)" : received.bytes, response) << what;
    if (what.find("limit") != std::string::npos) {
      EXPECT_EQ(send_error, 0) << what;
    }
  }
  // Every request gave its room back: one more of 64 KiB is read.
  Client client(port_);
  ASSERT_EQ(client.send(tool_post(port_, 64 * 1024)), 0);
  EXPECT_EQ(client.receive(10s).bytes, framed("200 OK", "65536"));
}

TEST_F(DashboardServer, ReturnsTheBindErrorBeforePrintingAnything) {
  // A listener of our own holds the port.
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Client::loopback(0);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size);

  testing::internal::CaptureStdout();
  auto ended = serve(ntohs(address.sin_port), {});
  const auto status = ended.wait_for(10s);
  const std::string printed = testing::internal::GetCapturedStdout();
  ::close(holder);
  ASSERT_EQ(status, std::future_status::ready);
  EXPECT_EQ(ended.get(), "Address already in use");
  EXPECT_EQ(printed, "");
}

}  // namespace
}  // namespace qmr::ui
