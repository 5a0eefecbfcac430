// The stdio loop on files and pipes: lines split and reassembled, answered in order, huge ones,
// the end of the run at a line that is not UTF-8, and failed reads and writes.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "mcp/json_text.hpp"
#include "mcp_test.hpp"

namespace qmr::mcp {
namespace {

using namespace tests;

// Opens a pipe whose ends move bytes untranslated; returns false when it cannot.
bool open_pipe(int (&ends)[2]) {
#ifdef _WIN32
  return _pipe(ends, 1 << 16, _O_BINARY) == 0;
#else
  return ::pipe(ends) == 0;
#endif
}

std::vector<std::string> read_all_lines(int fd) {
  LineReader reader(fd);
  std::vector<std::string> lines;
  for (int guard = 0; guard < 100'000; ++guard) {
    auto next = reader.next_line();
    EXPECT_TRUE(next.ok());
    if (!next.ok() || !next.value()) break;
    lines.emplace_back(*next.value());
  }
  return lines;
}

TEST(LineReader, SplitsAtLineFeedsAndDropsOneCarriageReturn) {
  InputFile in("a\r\nb\n\n\r\nc\r\r\nlast\r");
  EXPECT_EQ(read_all_lines(in.fd()), (std::vector<std::string>{"a", "b", "", "", "c\r", "last\r"}));
  InputFile empty("");
  EXPECT_TRUE(read_all_lines(empty.fd()).empty());
  InputFile one_line("only");
  EXPECT_EQ(read_all_lines(one_line.fd()), std::vector<std::string>{"only"});
}

TEST(LineReader, KeepsLinesLongerThanItsBufferWhole) {
  const std::string long_line(3 * READ_BUFFER_SIZE + 17, 'x');
  std::string input;
  for (int i = 0; i < 3; ++i) input += "short" + std::to_string(i) + "\n" + long_line + "\r\n";
  InputFile in(input);
  const auto lines = read_all_lines(in.fd());
  ASSERT_EQ(lines.size(), 6u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(lines[2 * i], "short" + std::to_string(i));
    EXPECT_EQ(lines[2 * i + 1], long_line);
  }
}

TEST(LineReader, ReassemblesLinesArrivingInPieces) {
  int ends[2];
  ASSERT_TRUE(open_pipe(ends));
  const std::string input = "first line\r\nsecond\n\xE2\x82\xB9 third";
  std::thread writer([&] {
    for (char byte : input) {
      if (::write(ends[1], &byte, 1) != 1) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::close(ends[1]);
  });
  const auto lines = read_all_lines(ends[0]);
  writer.join();
  ::close(ends[0]);
  EXPECT_EQ(lines, (std::vector<std::string>{"first line", "second", "\xE2\x82\xB9 third"}));
}

// Returns a JSON array of `count` copies of `item`.
std::string array_of(std::string_view item, std::size_t count) {
  std::string array = "[";
  for (std::size_t i = 0; i < count; ++i) (array += item) += ',';
  array.back() = ']';
  return array;
}

TEST(ServeLines, AnswersEachLineInOrderAndSkipsTheRest) {
  const auto served = serve(INITIALIZE + "\r\n\n   \n" + "garbage\n" + R"({"method":"ping"})" +
                            "\n" + TOOLS_LIST + "\n\u3000\n" + "[]");
  ASSERT_TRUE(served.status.ok()) << served.status.error().message;
  EXPECT_EQ(served.output, success_line("1", INITIALIZE_RESULT) + "\n" +
                               success_line("2", TOOLS_LIST_RESULT) + "\n" +
                               std::string(METHOD_NOT_FOUND_NULL_ID) + "\n");
}

TEST(ServeLines, EndsQuietlyOnEmptyInput) {
  for (const std::string input : {"", "\n", "\r\n\r\n", "   "}) {
    const auto served = serve(input);
    EXPECT_TRUE(served.status.ok());
    EXPECT_EQ(served.output, "");
  }
}

TEST(ServeLines, StopsAtTheFirstLineThatIsNotUtf8) {
  for (const std::string bad :
       {"\xFF", "{\"id\":\"\xC3\"}", "\xED\xA0\x80", "\xC0\xAF", "\xE2\x82"}) {
    const auto served = serve(INITIALIZE + "\n" + bad + "\n" + TOOLS_LIST + "\n");
    ASSERT_FALSE(served.status.ok());
    EXPECT_EQ(served.status.error().message, "stream did not contain valid UTF-8");
    EXPECT_EQ(served.output, success_line("1", INITIALIZE_RESULT) + "\n");
  }
  // A final line cut inside a character.
  const auto cut = serve(INITIALIZE + "\n\"\xE2\x82");
  ASSERT_FALSE(cut.status.ok());
  EXPECT_EQ(cut.output, success_line("1", INITIALIZE_RESULT) + "\n");
}

TEST(ServeLines, AnswersHugeLinesAndSkipsHugeBadOnes) {
  const std::string big_id(5 * READ_BUFFER_SIZE, 'q');
  const std::string big = R"({"method":"tools/list","id":")" + big_id + "\"}";
  const auto served = serve(big + "\n" + std::string(1'000'000, '[') + "\n" + INITIALIZE);
  ASSERT_TRUE(served.status.ok());
  EXPECT_EQ(served.output, success_line("\"" + big_id + "\"", TOOLS_LIST_RESULT) + "\n" +
                               success_line("1", INITIALIZE_RESULT) + "\n");

  // An id whose written form is twice its text is written in parts, in order, and the answer's
  // end follows them.
  const std::string floats = array_of("1e4", PART_SIZE / 2);
  const std::string written = array_of("10000.0", PART_SIZE / 2);
  const auto spilled = serve(R"({"method":"tools/list","id":)" + floats + "}\n" +
                             R"({"method":"nope","id":)" + floats + "}\n");
  ASSERT_TRUE(spilled.status.ok());
  EXPECT_EQ(spilled.output,
            success_line(written, TOOLS_LIST_RESULT) + "\n" + error_line(written) + "\n");
  EXPECT_EQ(answer(R"({"method":"tools/list","id":)" + floats + "}"),
            success_line(written, TOOLS_LIST_RESULT));
  // So is a version that is no string, refused inside a string.
  const auto refused = serve(R"({"method":"tools/list","id":1,"params":{"_meta":{)"
                             R"("io.modelcontextprotocol/protocolVersion":)" +
                             floats + "}}}\n");
  ASSERT_TRUE(refused.status.ok());
  EXPECT_EQ(refused.output, R"({"error":{"code":-32022,"data":{"requested":")" + written +
                                R"(","supported":["2026-07-28"]},"message":"Unsupported protocol )"
                                R"(version"},"id":1,"jsonrpc":"2.0"})"
                                "\n");
}

TEST(ServeLines, ReportsReadAndWriteFailures) {
#ifndef _WIN32  // Windows opens no descriptor on a directory
  const int directory = ::open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(directory, 0);
  InputFile out("");
  const Status unreadable = serve_lines(directory, out.fd(), seeded());
  ::close(directory);
  ASSERT_FALSE(unreadable.ok());
  EXPECT_EQ(unreadable.error().message, "failed to read standard input: Is a directory");

  std::signal(SIGPIPE, SIG_IGN);
#endif
  // The reader of the pipe has gone before the first response.
  int ends[2];
  ASSERT_TRUE(open_pipe(ends));
  ::close(ends[0]);
  // The second fails while its id is being written.
  for (const std::string& first :
       {INITIALIZE, R"({"method":"ping","id":)" + array_of("1e4", PART_SIZE) + "}"}) {
    InputFile in(first + "\n" + TOOLS_LIST + "\n");
    const Status unwritable = serve_lines(in.fd(), ends[1], seeded());
    ASSERT_FALSE(unwritable.ok());
    EXPECT_EQ(unwritable.error().message, "failed to write standard output: Broken pipe");
  }
  ::close(ends[1]);

  EXPECT_EQ(write_all(-1, "x").error().message,
            "failed to write standard output: Bad file descriptor");
  EXPECT_TRUE(write_all(-1, "").ok());
}

}  // namespace
}  // namespace qmr::mcp
