// The dashboard's loopback HTTP server on asio coroutines: one listener, and on each of a few
// worker threads an event loop of its own that accepts from it, answers through the pure request
// handling and closes. One coroutine per connection; the coroutines only move bytes.
//
// Why a loop per thread rather than one shared io_context: with a connection per request, most
// of the cost is the kernel's, and what the server adds is what it does around each connection.
// On one shared io_context every connection was handed between threads (locks, futex wake-ups)
// and carried a timer and a parallel_group per read (a timerfd update, allocations). Here a
// connection lives and dies on the thread that accepted it, and the time limits of all
// connections of a thread are kept by two lists and one timer each.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <asio/bind_allocator.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/console.hpp"
#include "ui/dashboard.hpp"

namespace qmr::ui {

namespace {

using asio::ip::tcp;
using Clock = asio::steady_timer::clock_type;

constexpr auto with_error = asio::experimental::as_tuple(asio::use_awaitable);

// Room for the one asynchronous operation a task has pending at a time, kept in the task's own
// frame. asio 1.22 starts an awaited operation in a step of the coroutine that must not throw,
// so an allocation that fails there (memory exhausted) terminates the process. With this room
// the operation's memory is taken when the frame is, where a failure is an exception the task
// handles. An operation that does not fit, or a second one, falls back to the heap.
class OperationMemory {
 public:
  OperationMemory() = default;
  OperationMemory(const OperationMemory&) = delete;
  OperationMemory& operator=(const OperationMemory&) = delete;

  void* allocate(std::size_t size) {
    if (in_use_ || size > storage_.size()) return ::operator new(size);
    in_use_ = true;
    return storage_.data();
  }

  void deallocate(void* pointer) noexcept {
    if (pointer == storage_.data()) {
      in_use_ = false;
    } else {
      ::operator delete(pointer);
    }
  }

 private:
  // A socket read with its handler takes about 150 bytes, a write through async_write 250.
  alignas(std::max_align_t) std::array<std::byte, 512> storage_;
  bool in_use_ = false;
};

// Hands out the memory of an OperationMemory, the allocator asio uses for an operation.
template <typename T>
class OperationAllocator {
 public:
  using value_type = T;

  explicit OperationAllocator(OperationMemory& memory) noexcept : memory_(&memory) {}
  template <typename U>
  OperationAllocator(const OperationAllocator<U>& other) noexcept  // NOLINT: rebinding
      : memory_(other.memory()) {}

  T* allocate(std::size_t count) { return static_cast<T*>(memory_->allocate(sizeof(T) * count)); }
  void deallocate(T* pointer, std::size_t) noexcept { memory_->deallocate(pointer); }
  [[nodiscard]] OperationMemory* memory() const noexcept { return memory_; }

  friend bool operator==(const OperationAllocator& left, const OperationAllocator& right) noexcept {
    return left.memory_ == right.memory_;
  }

 private:
  OperationMemory* memory_;
};

// The completion token of a task's operation: the result as a tuple, the operation's memory from
// the task's `memory`.
auto with_error_in(OperationMemory& memory) {
  return asio::bind_allocator(OperationAllocator<std::byte>(memory), with_error);
}

// The kernel's largest listen backlog (it caps the value at net.core.somaxconn). With 128, a burst
// of clients overflowed the accept queue, and those left out waited for the one-second
// retransmission of their handshake. Measured with `wrk -t2 -c1000 -d6s --timeout 2s` on GET /,
// 2 busy processors, three runs each: p99 660-840 ms and 35 requests timed out in one run with
// 128; p99 94-116 ms and none timed out with the largest backlog, at 1-11% more requests.
constexpr int LISTEN_BACKLOG = SOMAXCONN;

// How long an accept loop pauses after a failure that a later accept can overcome (no free
// descriptor, no memory): long enough not to spin, short enough that clients barely notice.
constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(50);

constexpr std::string_view STARTUP_DETAIL_LINES[] = {
    "    - Monopolies Slain: Keepa ($299/mo) + Helium10 + Fakespot + Prisync",
    "    - Active Sentinel: Price Tracker, Review Defect Miner & Jan Aushadhi Arbitrage",
    "    - Memory Footprint: ~11.2 MB RAM (100% On-Device, Air-Gapped)",
};

// How long after its response a connection is looked at for the client's end of stream: first
// after DRAIN_CHECK_DELAYS[0], and if the client has not closed by then, once more after
// DRAIN_CHECK_DELAYS[1]. An idle client closes within a fraction of a millisecond on loopback, a
// busy one (a load generator with many connections) within a few; either way its socket goes
// without entering the event loop. Only a client still open at the second look is waited for
// there.
constexpr std::array DRAIN_CHECK_DELAYS = {std::chrono::milliseconds(2),
                                           std::chrono::milliseconds(20)};

// A connection is taken from the listener once its request has arrived, or after this many
// seconds without one. A client then costs nothing between its handshake and its request (which
// on a busy machine is long enough for the accept to come first, and the first read to find
// nothing), and a silent client is still taken, and closed after the idle time.
constexpr int DEFER_ACCEPT_SECONDS = 1;

// The GET routes whose answers are the same on every request: the page, the fixed status object
// and the two lists of a store that nothing writes after seeding.
constexpr std::string_view FIXED_GET_PATHS[] = {"/", "/api/status", "/api/products",
                                                "/api/medicines"};

// Raises the soft open-file limit to the hard one, so that many simultaneous clients do not run
// the process out of descriptors early. A failure is ignored: the server still works, it only
// reaches the limit sooner (and then pauses its accepts rather than failing).
void raise_open_file_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// Opens, binds and sets listening `acceptor` on `endpoint`; returns the first failure. Address
// reuse lets a restarted server bind while connections of the previous one linger in TIME_WAIT;
// on Linux it never lets a second listener take a port that one already listens on.
asio::error_code open_listener(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
  asio::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(LISTEN_BACKLOG, error);
  // Several loops accept from it: one that finds the queue empty must not block.
  if (!error) acceptor.non_blocking(true, error);
  // Connections inherit delayed acknowledgements from the listener: the request is then
  // acknowledged by the response itself, which follows within microseconds, instead of by a
  // segment of its own. One segment fewer per connection; failing that, one more, nothing worse.
  if (!error) {
    const int quick_acks = 0;
    ::setsockopt(acceptor.native_handle(), IPPROTO_TCP, TCP_QUICKACK, &quick_acks,
                 sizeof quick_acks);
    // Failing that, connections are taken at their handshake, as without it.
    ::setsockopt(acceptor.native_handle(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &DEFER_ACCEPT_SECONDS,
                 sizeof DEFER_ACCEPT_SECONDS);
  }
  return error;
}

// The connections of one thread that wait under the same time limit, oldest first. The limit is
// the same for all of them, so the oldest always has the nearest deadline and one timer, set for
// it, serves the whole list. A connection past its deadline has its socket's waits cancelled.
// Used from its thread only.
class DeadlineList {
 public:
  struct Entry {
    Clock::time_point deadline;
    tcp::socket* socket = nullptr;
    DeadlineList* list = nullptr;  // null once expired or after the list is gone
    Entry* previous = nullptr;
    Entry* next = nullptr;
  };

  DeadlineList(asio::io_context& context, Clock::duration limit) : timer_(context), limit_(limit) {}
  DeadlineList(const DeadlineList&) = delete;
  DeadlineList& operator=(const DeadlineList&) = delete;
  ~DeadlineList() {
    for (Entry* entry = head_; entry != nullptr; entry = entry->next) entry->list = nullptr;
  }

  void add(Entry& entry, tcp::socket& socket) { add(entry, socket, Clock::now() + limit_); }

  // Adds an entry whose time began earlier. It goes behind the last entry that ends no later, a
  // step or two from the tail at most, since such entries began at most moments ago.
  // The timer is set before the entry is linked, and nothing after the link can fail: setting
  // the timer can run out of memory, and an entry left linked by a throwing add would outlive
  // its owner (a coroutine frame) in the list.
  void add(Entry& entry, tcp::socket& socket, Clock::time_point deadline) {
    if (!armed_ || deadline < armed_for_) arm(deadline);
    entry.deadline = deadline;
    entry.socket = &socket;
    entry.list = this;
    Entry* before = tail_;
    while (before != nullptr && before->deadline > deadline) before = before->previous;
    entry.previous = before;
    entry.next = before != nullptr ? before->next : head_;
    (entry.next != nullptr ? entry.next->previous : tail_) = &entry;
    (before != nullptr ? before->next : head_) = &entry;
  }

  void remove(Entry& entry) {
    (entry.previous != nullptr ? entry.previous->next : head_) = entry.next;
    (entry.next != nullptr ? entry.next->previous : tail_) = entry.previous;
    entry.list = nullptr;
  }

 private:
  // Sets the timer for `at`, the deadline of the first entry. Entries that leave earlier do not
  // move the timer: it fires at a deadline that may have gone and sets itself again for the
  // first one left. When the wait cannot start (out of memory), the timer stays unset and the
  // next add sets it; until then the entries wait past their deadlines, nothing worse.
  void arm(Clock::time_point at) {
    armed_ = false;
    timer_.expires_at(at);
    timer_.async_wait([this](const asio::error_code& error) {
      // Cancelled when set again (a newer wait is pending then) or when the list is destroyed
      // (`this` is gone then): nothing to do either way.
      if (error) return;
      armed_ = false;
      expire();
    });
    armed_ = true;
    armed_for_ = at;
  }

  void expire() {
    const auto now = Clock::now();
    while (head_ != nullptr && head_->deadline <= now) {
      Entry& entry = *head_;
      remove(entry);
      asio::error_code ignored;
      entry.socket->cancel(ignored);
    }
    if (head_ == nullptr) return;
    try {
      arm(head_->deadline);
    } catch (const std::bad_alloc&) {
      // Left unset: the next add sets it.
    }
  }

  asio::steady_timer timer_;
  Clock::duration limit_;
  Entry* head_ = nullptr;
  Entry* tail_ = nullptr;
  bool armed_ = false;
  Clock::time_point armed_for_;
};

// Keeps a connection on a deadline list while it lives.
class Waiting {
 public:
  Waiting(DeadlineList& list, tcp::socket& socket) { list.add(entry_, socket); }
  Waiting(DeadlineList& list, tcp::socket& socket, Clock::time_point deadline) {
    list.add(entry_, socket, deadline);
  }
  Waiting(const Waiting&) = delete;
  Waiting& operator=(const Waiting&) = delete;
  ~Waiting() {
    if (entry_.list != nullptr) entry_.list->remove(entry_);
  }

  // True once the deadline has passed (the socket's waits were cancelled then).
  [[nodiscard]] bool expired() const { return entry_.list == nullptr; }

 private:
  DeadlineList::Entry entry_;
};

// The framed answers of the fixed GET routes, built once through the request handling itself, so
// they are byte for byte what it would build for each request.
class FixedResponses {
 public:
  explicit FixedResponses(const engine::EngineHandle& engine) {
    for (const auto path : FIXED_GET_PATHS) {
      const std::string request = "GET " + std::string(path);
      responses_.emplace_back(path, respond_to_request(request, engine).value());
    }
  }

  // Returns the answer to `line`, or nothing when it is not one of the fixed routes.
  [[nodiscard]] const std::string* find(const RequestLine& line) const {
    if (line.method != "GET") return nullptr;
    for (const auto& [path, response] : responses_) {
      if (line.path == path) return &response;
    }
    return nullptr;
  }

 private:
  std::vector<std::pair<std::string_view, std::string>> responses_;
};

// The first accept failure that ends the server, handed from a worker thread to the task that
// awaits the server. The channel is safe to use from any thread and holds one error; later ones
// are dropped.
// (The first error_code of the signature is the channel's own.)
using Ending = asio::experimental::concurrent_channel<void(asio::error_code, asio::error_code)>;

// A socket descriptor not (yet) in any event loop, closed when the value goes.
class OwnedFd {
 public:
  explicit OwnedFd(int fd) : fd_(fd) {}
  OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  ~OwnedFd() {
    if (fd_ >= 0) ::close(fd_);
  }

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

bool would_block(int error_number) {
  return error_number == EAGAIN || error_number == EWOULDBLOCK || error_number == EINTR;
}

struct Worker;
void check_drains(Worker& worker);

// Connections whose response is sent and whose sending side is closed, looked at a moment later
// and, when the client has not closed yet, once more (DRAIN_CHECK_DELAYS): by then a client has
// usually read the response and closed its side, and the socket is released without ever
// entering the event loop. One that has not is handed to a task that drains it there. Each look
// has its own list; its delay is the same for every entry, so each list is in time order and
// one timer, set for the earliest front, serves both. Used from its thread only.
class DrainChecks {
 public:
  struct Pending {
    OwnedFd fd;
    Clock::time_point check_at;
    Clock::time_point deadline;  // of the whole drain
    std::size_t drained = 0;     // bytes read and dropped so far
    std::size_t look = 0;        // index into DRAIN_CHECK_DELAYS
  };

  DrainChecks(asio::io_context& context, Worker& worker) : timer_(context), worker_(worker) {}

  // Adds a connection for its first look.
  void add(OwnedFd fd, Clock::time_point deadline) {
    schedule({std::move(fd), {}, deadline, 0, 0});
  }

  // Adds a connection for the look after the one it has just had.
  void add_next_look(Pending pending) {
    ++pending.look;
    schedule(std::move(pending));
  }

  // Returns true when a connection that has had look number `look` has another one to come.
  [[nodiscard]] static bool has_next_look(std::size_t look) {
    return look + 1 < DRAIN_CHECK_DELAYS.size();
  }

  // Removes the entries whose time to be looked at has come and passes each to `look`, after
  // setting the timer for the first entry left. Nothing is allocated on the way; a `look` that
  // throws loses only the entry at hand (its socket closes), the others are still looked at.
  template <typename Look>
  void take_due(Look look) {
    const auto now = Clock::now();
    std::array<std::size_t, DRAIN_CHECK_DELAYS.size()> due{};
    std::optional<Clock::time_point> next;
    for (std::size_t i = 0; i < pending_.size(); ++i) {
      const auto& list = pending_[i];
      while (due[i] < list.size() && list[due[i]].check_at <= now) ++due[i];
      if (due[i] < list.size() && (!next || list[due[i]].check_at < *next)) {
        next = list[due[i]].check_at;
      }
    }
    if (next) {
      try {
        arm(*next);
      } catch (const std::bad_alloc&) {
        // Left unset: the next add sets it.
      }
    }
    // Entries added meanwhile go behind the due ones, which stay at the fronts.
    for (std::size_t i = 0; i < pending_.size(); ++i) {
      for (std::size_t taken = 0; taken < due[i]; ++taken) {
        Pending pending = std::move(pending_[i].front());
        pending_[i].pop_front();
        try {
          look(std::move(pending));
        } catch (const std::bad_alloc&) {
          // No memory to keep this connection: it is dropped.
        }
      }
    }
  }

 private:
  // The timer is set before the entry is queued; either may run out of memory. A timer set for
  // an entry that did not make it into the queue only fires once for nothing.
  void schedule(Pending pending) {
    const auto check_at = Clock::now() + DRAIN_CHECK_DELAYS[pending.look];
    pending.check_at = check_at;
    if (!armed_ || check_at < armed_for_) arm(check_at);
    // On failure nothing is queued and the socket closes with `pending`.
    pending_[pending.look].push_back(std::move(pending));
  }

  // When the wait cannot start (out of memory), the timer stays unset and the next add sets it.
  void arm(Clock::time_point at) {
    armed_ = false;
    timer_.expires_at(at);
    timer_.async_wait([this](const asio::error_code& error) {
      // Cancelled when set again (a newer wait is pending then) or when this object is destroyed
      // (`this` is gone then): nothing to do either way.
      if (error) return;
      armed_ = false;
      check_drains(worker_);
    });
    armed_ = true;
    armed_for_ = at;
  }

  asio::steady_timer timer_;
  Worker& worker_;
  std::array<std::deque<Pending>, DRAIN_CHECK_DELAYS.size()> pending_;
  bool armed_ = false;
  Clock::time_point armed_for_;
};

// Grows the timer queue of `context` to hold `count` timers at once. The queue grows when a timer
// is set, and asio 1.22 sets an awaited timer in a step that must not throw: a growth that finds
// no memory there terminates the process. Grown at start-up, past the timers a worker ever has
// set at once, the queue never grows again.
void reserve_timer_queue(asio::io_context& context, std::size_t count) {
  std::vector<asio::steady_timer> timers;
  timers.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    timers.emplace_back(context, Clock::time_point::max());
    // Cancelled as the timers go; the handlers run with the loop and do nothing.
    timers.back().async_wait([](const asio::error_code&) {});
  }
}

// The timers a worker has set at most: its two deadline lists, its drain checks and the pause
// of its accept loop, with room to spare.
constexpr std::size_t WORKER_TIMERS = 8;

// One worker thread with its own event loop, accepting from the shared listener.
struct Worker {
  Worker(const ConnectionLimits& limits, const FixedResponses& fixed)
      : limits(limits),
        fixed(fixed),
        idle(context, limits.idle_timeout),
        draining(context, limits.drain_time),
        checks(context, *this) {
    reserve_timer_queue(context, WORKER_TIMERS);
  }

  asio::io_context context{1};
  ConnectionLimits limits;
  const FixedResponses& fixed;
  DeadlineList idle;      // waiting for the request
  DeadlineList draining;  // reading what follows the response, in the event loop
  DrainChecks checks;     // to be looked at once for the client's end of stream
  std::thread thread;
};

// Returns the connection as a socket of the worker's event loop, or nothing when the loop cannot
// take it (out of memory); the connection is closed then.
std::optional<tcp::socket> adopt(Worker& worker, OwnedFd fd) {
  tcp::socket socket(worker.context);
  asio::error_code error;
  // Released only once the socket owns it: the registration with the event loop can also throw
  // (out of memory), and the descriptor must close then too.
  socket.assign(tcp::v4(), fd.get(), error);
  if (error) return std::nullopt;
  static_cast<void>(fd.release());
  return socket;
}

// Reads and drops what the client still sends until it closes, the deadline passes or
// drain_bytes have come in all. Closing a socket with unread data resets the connection, and a
// reset can destroy a response the client has not read yet.
asio::awaitable<void> drain(Worker& worker, tcp::socket& socket, std::size_t drained,
                            Clock::time_point deadline) {
  std::array<char, REQUEST_BUFFER_SIZE> buffer;
  OperationMemory memory;
  Waiting waiting(worker.draining, socket, deadline);
  while (drained < worker.limits.drain_bytes && !waiting.expired()) {
    const auto [error, count] =
        co_await socket.async_read_some(asio::buffer(buffer), with_error_in(memory));
    if (error || count == 0) break;
    drained += count;
  }
}

asio::awaitable<void> drain_in_loop(Worker& worker, OwnedFd fd, std::size_t drained,
                                    Clock::time_point deadline) {
  try {
    auto socket = adopt(worker, std::move(fd));
    if (socket) co_await drain(worker, *socket, drained, deadline);
  } catch (const std::exception&) {
    // Out of memory: the socket closes as the frame unwinds.
  }
}

// Looks at each due connection: what it sent is dropped, and at its end of stream, or past the
// drain bounds, its socket is released. The others get their next look, or after the last one
// are drained in the event loop.
void check_drains(Worker& worker) {
  std::array<char, REQUEST_BUFFER_SIZE> buffer;
  const auto now = Clock::now();
  worker.checks.take_due([&](DrainChecks::Pending pending) {
    std::size_t& drained = pending.drained;
    while (drained < worker.limits.drain_bytes && now < pending.deadline) {
      const ssize_t count = ::recv(pending.fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (count > 0) {
        drained += static_cast<std::size_t>(count);
        continue;
      }
      if (count < 0 && errno == EINTR) continue;
      if (count < 0 && would_block(errno)) {
        if (DrainChecks::has_next_look(pending.look)) {
          worker.checks.add_next_look(std::move(pending));
        } else {
          asio::co_spawn(worker.context,
                         drain_in_loop(worker, std::move(pending.fd), drained, pending.deadline),
                         asio::detached);
        }
      }
      break;  // end of stream, or a failure: the socket is released
    }
  });
}

// One connection: one read, at most one response, then the close. Never awaited by the accept
// loop, so it catches its own failures. The connection enters the event loop only when it has
// to wait: for a request that has not arrived, for room to send, or for the client to close.
asio::awaitable<void> handle_connection(Worker& worker, OwnedFd fd, engine::EngineHandle engine) {
  try {
    std::array<char, REQUEST_BUFFER_SIZE> buffer{};
    OperationMemory memory;
    std::optional<tcp::socket> socket;
    // The request has usually arrived with the connection; only a silent client is waited for.
    ssize_t bytes_read = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
    if (bytes_read < 0 && would_block(errno)) {
      socket = adopt(worker, std::move(fd));
      if (!socket) co_return;
      Waiting waiting(worker.idle, *socket);
      const auto [error, count] =
          co_await socket->async_read_some(asio::buffer(buffer), with_error_in(memory));
      // A failed read, a peer that closed and a peer silent for the whole idle time are treated
      // alike: the connection closes without a byte written.
      if (error) co_return;
      bytes_read = static_cast<ssize_t>(count);
    }
    if (bytes_read <= 0) co_return;

    const std::string_view request(buffer.data(), static_cast<std::size_t>(bytes_read));
    const auto line = parse_request_line(request);
    if (!line) co_return;
    std::string built;
    const std::string* response = worker.fixed.find(*line);
    if (response == nullptr) {
      built = frame_response(route_request(line->method, line->path, engine));
      response = &built;
    }
    engine.reset();  // the answer is built; the store is not needed any longer

    // The send is marked as having more to come, so that the FIN of the half-close below leaves
    // in the same segment as the response's last bytes. A failed send is ignored: the client has
    // gone and the connection closes as usual.
    const int native = socket ? socket->native_handle() : fd.get();
    std::string_view rest = *response;
    const ssize_t sent = ::send(native, rest.data(), rest.size(), MSG_NOSIGNAL | MSG_MORE);
    if (sent < 0 && !would_block(errno)) co_return;
    if (sent == 0 && !rest.empty()) co_return;  // a write that takes nothing has failed
    if (sent > 0) rest.remove_prefix(static_cast<std::size_t>(sent));
    if (!rest.empty()) {
      if (!socket) socket = adopt(worker, std::move(fd));
      if (!socket) co_return;
      const auto [error, written] = co_await asio::async_write(
          *socket, asio::buffer(rest.data(), rest.size()), with_error_in(memory));
      static_cast<void>(written);
      if (error) co_return;
    }
    ::shutdown(socket ? socket->native_handle() : fd.get(), SHUT_WR);

    const auto deadline = Clock::now() + worker.limits.drain_time;
    if (socket) {
      co_await drain(worker, *socket, 0, deadline);
    } else {
      worker.checks.add(std::move(fd), deadline);
    }
  } catch (const std::exception&) {
    // Only memory exhaustion while building the answer gets here: this connection is dropped
    // (the socket closes as the frame unwinds) and the others carry on.
  }
}

// Reports an ending error to the task awaiting the server; only the first one is kept.
void end_server(Ending& ending, asio::error_code error) {
  static_cast<void>(ending.try_send(asio::error_code(), error));
}

// Starts the task of one accepted connection on the worker's loop. Returns false when there is no
// memory for the task; the connection is closed then.
bool start_connection(Worker& worker, OwnedFd fd, const engine::EngineHandle& engine) {
  try {
    asio::co_spawn(worker.context, handle_connection(worker, std::move(fd), engine),
                   asio::detached);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Accepts every pending connection each time the listener is readable, and starts a task for
// each on this thread's loop. Returns after reporting a failure of the listener itself. A
// connection that finds no memory for its task is dropped, and the loop pauses as after a
// transient accept failure; should its own waits find none, the loop ends by an exception.
asio::awaitable<void> accept_connections(Worker& worker, tcp::acceptor listener,
                                         engine::EngineHandle engine,
                                         std::shared_ptr<Ending> ending) {
  asio::steady_timer pause(worker.context);
  OperationMemory memory;
  for (;;) {
    const auto [wait_error] =
        co_await listener.async_wait(tcp::acceptor::wait_read, with_error_in(memory));
    if (wait_error) {
      end_server(*ending, wait_error);
      co_return;
    }
    for (;;) {
      const int fd =
          ::accept4(listener.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) {
        if (start_connection(worker, OwnedFd(fd), engine)) continue;
      } else {
        const int failure = errno;
        if (failure == EAGAIN || failure == EWOULDBLOCK) break;  // the queue is empty
        if (failure == EINTR) continue;
        if (!is_transient_accept_error(failure)) {
          end_server(*ending, asio::error_code(failure, asio::system_category()));
          co_return;
        }
      }
      pause.expires_after(ACCEPT_RETRY_DELAY);
      static_cast<void>(co_await pause.async_wait(with_error_in(memory)));
      break;
    }
  }
}

// Stops the process when a worker's loop or accept loop has ended by an exception: it had no
// connection to drop (out of memory while waiting for the listener or a pause), and a process
// must not stay alive without accepting.
void stop_on_exception(const std::exception_ptr& failure) {
  if (!failure) return;
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    fatal("memory allocation failed");
  } catch (const std::exception& error) {
    fatal(std::string("internal error: ") + error.what());
  }
}

// Runs a worker's loop until it is stopped.
void run_worker(asio::io_context& context) {
  try {
    context.run();
  } catch (const std::exception&) {
    stop_on_exception(std::current_exception());
  }
}

// The worker threads, stopped and joined when the pool goes (the server ended, or the task that
// awaited it was destroyed with its runtime).
class WorkerPool {
 public:
  WorkerPool(const ConnectionLimits& limits, const engine::EngineHandle& engine) : fixed_(engine) {
    // Half the logical processors, at least one. The clients of a loopback server run on the
    // same processors, and the kernel's share of one connection is about as large on their side
    // as on ours; more loops only add context switches (measured with wrk -c64 on 2 processors:
    // two loops, 20,000 switches a second; one loop, 3,000, and 15% more requests answered).
    const unsigned count = std::max(1u, std::thread::hardware_concurrency() / 2);
    for (unsigned i = 0; i < count; ++i) {
      workers_.push_back(std::make_unique<Worker>(limits, fixed_));
    }
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool() {
    for (auto& worker : workers_) worker->context.stop();
    for (auto& worker : workers_) {
      if (worker->thread.joinable()) worker->thread.join();
    }
  }

  // Starts each worker's accept loop on a descriptor of its own for the listener. Returns the
  // error of the first that cannot start.
  [[nodiscard]] asio::error_code start(tcp::acceptor& listener, const engine::EngineHandle& engine,
                                       const std::shared_ptr<Ending>& ending) {
    for (auto& worker : workers_) {
      const int fd = ::fcntl(listener.native_handle(), F_DUPFD_CLOEXEC, 0);
      if (fd < 0) return {errno, asio::system_category()};
      tcp::acceptor own(worker->context);
      asio::error_code error;
      own.assign(tcp::v4(), fd, error);
      if (error) {
        ::close(fd);
        return error;
      }
      asio::co_spawn(worker->context, accept_connections(*worker, std::move(own), engine, ending),
                     stop_on_exception);
    }
    try {
      for (auto& worker : workers_) {
        Worker* self = worker.get();
        worker->thread = std::thread([self] { run_worker(self->context); });
      }
    } catch (const std::system_error& error) {
      return error.code();
    }
    return {};
  }

 private:
  FixedResponses fixed_;
  std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace

asio::awaitable<Status> serve_dashboard(engine::EngineHandle engine, std::uint16_t port,
                                        ConnectionLimits limits) {
  raise_open_file_limit();
  const auto executor = co_await asio::this_coro::executor;
  const std::string address = "127.0.0.1:" + std::to_string(port);

  tcp::acceptor acceptor(executor);
  if (const auto error = open_listener(acceptor, {asio::ip::address_v4::loopback(), port})) {
    co_return Error{error.message()};
  }

  console::print_line("[+] Quillon Market Intelligence Web HUD live at http://" + address,
                      console::Colour::green, true);
  for (const auto line : STARTUP_DETAIL_LINES) console::print_line(line);

  const auto ending = std::make_shared<Ending>(executor, 1);
  WorkerPool workers(limits, engine);
  if (const auto error = workers.start(acceptor, engine, ending)) co_return Error{error.message()};
  // The workers' descriptors keep the listener open; this one goes. Released first, so that it
  // leaves the runtime's event loop explicitly: closing one of several descriptors of a socket
  // does not, and every incoming connection would wake that loop too.
  asio::error_code ignored;
  ::close(acceptor.release(ignored));
  const auto [channel_error, error] = co_await ending->async_receive(with_error);
  static_cast<void>(channel_error);
  // The pool stops the other workers as this frame unwinds; the listener closes with it.
  co_return Error{error.message()};
}

}  // namespace qmr::ui
