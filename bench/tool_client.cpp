// A low-overhead client for measuring a tool server over pipes, so that the client's own cost
// stays small next to the server's. It starts the server command, does the initialize handshake,
// then
//   1. writes LINES mixed request lines (each with its own numeric id) from a writer thread while
//      reading, and times first byte written to the last awaited response: lines per second;
//   2. reads the server's peak resident set (VmHWM) after those lines;
//   3. sends one tools/call at a time over the same pipe TRIPS times (after a warm-up) and times
//      each round trip with the monotonic clock: median and 99th percentile in microseconds, first
//      as the scheduler places the processes, then with the client and every thread of the server
//      pinned to one processor.
// Prints one line: "lines_per_s=... rtt_median_us=... rtt_p99_us=... rtt_pinned_median_us=...
// rtt_pinned_p99_us=... peak_rss_kb=...".
//   tool_client LINES TRIPS -- COMMAND [ARGS...]
// A deadline of 120 s bounds the whole run: past it the server is killed and the client fails.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned DEADLINE_SECONDS = 120;
constexpr int WARM_UP_TRIPS = 200;

// The mix: every tool, the catalogue, an unknown tool and an unknown method. Every line is a
// request with an id, so both servers answer every one of them.
constexpr std::string_view MIX[] = {
    R"({"jsonrpc":"2.0","id":@,"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":"noise"}}})",
    R"({"jsonrpc":"2.0","id":@,"method":"tools/call","params":{"name":"market_search_products","arguments":{}}})",
    R"({"jsonrpc":"2.0","id":@,"method":"tools/call","params":{"name":"market_review_defects","arguments":{}}})",
    R"({"jsonrpc":"2.0","id":@,"method":"tools/call","params":{"name":"market_jan_aushadhi","arguments":{}}})",
    R"({"jsonrpc":"2.0","id":@,"method":"tools/list"})",
    R"({"jsonrpc":"2.0","id":@,"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":"SKU-BOAT"}}})",
    R"({"jsonrpc":"2.0","id":@,"method":"tools/call","params":{"name":"market_unknown","arguments":{}}})",
    R"({"jsonrpc":"2.0","id":@,"method":"resources/list"})",
};
constexpr std::string_view ROUND_TRIP =
    R"({"jsonrpc":"2.0","id":@,"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":"noise"}}})";
constexpr std::string_view INITIALIZE =
    R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2024-11-05","capabilities":{},"clientInfo":{"name":"tool_client","version":"1.0.0"}}})";
constexpr std::string_view INITIALIZED =
    R"({"jsonrpc":"2.0","method":"notifications/initialized"})";

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "tool_client: %s\n", what);
  std::exit(1);
}

std::string with_id(std::string_view line, long id) {
  std::string out(line);
  out.replace(out.find('@'), 1, std::to_string(id));
  out += '\n';
  return out;
}

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("write to the server failed");
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Returns the numeric id of a response line, or -1 when it has none (a null id, say).
long id_of(std::string_view line) {
  const auto at = line.find("\"id\":");
  if (at == std::string_view::npos) return -1;
  long id = -1;
  const char* begin = line.data() + at + 5;
  std::from_chars(begin, line.data() + line.size(), id);
  return id;
}

// Reads LF-terminated lines from a descriptor.
class Lines {
 public:
  explicit Lines(int fd) : fd_(fd) {}

  // Returns the next line without its LF; fails at end of input.
  std::string_view next() {
    while (true) {
      if (const void* lf = std::memchr(buffer_.data() + begin_, '\n', end_ - begin_)) {
        const auto at = static_cast<std::size_t>(static_cast<const char*>(lf) - buffer_.data());
        std::string_view line(buffer_.data() + begin_, at - begin_);
        begin_ = at + 1;
        return line;
      }
      if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
      }
      if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
      const ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail("the server closed its output early");
      end_ += static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_;
  std::vector<char> buffer_ = std::vector<char>(1 << 20);
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

long peak_rss_kb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

pid_t server_pid = -1;

void on_deadline(int) {
  if (server_pid > 0) ::kill(server_pid, SIGKILL);
  static constexpr char message[] = "tool_client: deadline passed, server killed\n";
  [[maybe_unused]] auto ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
  ::_exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || std::string_view(argv[3]) != "--") {
    fail("usage: tool_client LINES TRIPS -- COMMAND [ARGS...]");
  }
  const long lines = std::clamp(std::atol(argv[1]), 1L, 1'000'000L);
  const long trips = std::clamp(std::atol(argv[2]), 1L, 1'000'000L);
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGALRM, on_deadline);
  ::alarm(DEADLINE_SECONDS);

  int to_server[2], from_server[2];
  if (::pipe2(to_server, O_CLOEXEC) != 0 || ::pipe2(from_server, O_CLOEXEC) != 0) fail("pipe");
  server_pid = ::fork();
  if (server_pid < 0) fail("fork");
  if (server_pid == 0) {
    ::dup2(to_server[0], STDIN_FILENO);
    ::dup2(from_server[1], STDOUT_FILENO);
    ::execvp(argv[4], argv + 4);
    _exit(127);
  }
  ::close(to_server[0]);
  ::close(from_server[1]);
  const int out = to_server[1];
  Lines in(from_server[0]);

  // The handshake: initialize and its answer, then the initialized notification (a server may
  // answer it too; its line, without a numeric id, is skipped below).
  write_all(out, std::string(INITIALIZE) + "\n");
  while (id_of(in.next()) != 0) {
  }
  write_all(out, std::string(INITIALIZED) + "\n");

  // 1. Throughput.
  std::string batch;
  for (long i = 0; i < lines; ++i) batch += with_id(MIX[i % std::size(MIX)], i + 1);
  const auto started = Clock::now();
  std::thread writer([&] { write_all(out, batch); });
  long answered = 0;
  while (answered < lines) {
    if (id_of(in.next()) >= 1) ++answered;
  }
  const auto finished = Clock::now();
  writer.join();
  const double seconds = std::chrono::duration<double>(finished - started).count();

  // 2. Memory after those lines.
  const long rss = peak_rss_kb(server_pid);

  // 3. Round trips, one request in flight: first as the scheduler places the two processes, then
  // with both on the client's processor. On a virtual machine, waking a process on an idle
  // processor costs tens of microseconds of the hypervisor's time on each of the two wake-ups of
  // a round trip; on one processor each wake-up is a plain context switch, and what is left is
  // the two processes' own work.
  long next_id = lines + 1;
  const auto round_trips = [&] {
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(trips));
    for (long i = 0; i < WARM_UP_TRIPS + trips; ++i) {
      const long id = next_id++;
      const std::string request = with_id(ROUND_TRIP, id);
      const auto sent = Clock::now();
      write_all(out, request);
      while (id_of(in.next()) != id) {
      }
      const auto back = Clock::now();
      if (i >= WARM_UP_TRIPS) {
        micros.push_back(std::chrono::duration<double, std::micro>(back - sent).count());
      }
    }
    std::sort(micros.begin(), micros.end());
    return std::pair{micros[micros.size() / 2],
                     micros[std::min(micros.size() - 1, micros.size() * 99 / 100)]};
  };
  const auto [median, p99] = round_trips();
  cpu_set_t one{};
  CPU_ZERO(&one);
  CPU_SET(static_cast<unsigned>(::sched_getcpu()), &one);
  if (::sched_setaffinity(0, sizeof one, &one) != 0) fail("cannot pin the client");
  // Every thread of the server: the one that serves the pipe need not be its main thread.
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(server_pid) + "/task")) {
    const auto tid = static_cast<pid_t>(std::stol(task.path().filename().string()));
    if (::sched_setaffinity(tid, sizeof one, &one) != 0) fail("cannot pin the server");
  }
  const auto [pinned_median, pinned_p99] = round_trips();

  ::close(out);
  int status = 0;
  ::waitpid(server_pid, &status, 0);
  std::printf(
      "lines_per_s=%.0f rtt_median_us=%.1f rtt_p99_us=%.1f rtt_pinned_median_us=%.1f "
      "rtt_pinned_p99_us=%.1f peak_rss_kb=%ld\n",
      static_cast<double>(lines) / seconds, median, p99, pinned_median, pinned_p99, rss);
  return 0;
}
