#include "mcp/stdio_transport.hpp"

#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "base/descriptor_io.hpp"
#include "base/text.hpp"
#include "mcp/tool_server.hpp"

namespace qmr::mcp {

LineReader::LineReader(int fd) : fd_(fd) { reallocate(READ_BUFFER_SIZE); }

Result<std::optional<std::string_view>> LineReader::next_line() {
  // The line returned last, however long, is handled by now.
  if (size_ > READ_BUFFER_SIZE && end_ - begin_ <= READ_BUFFER_SIZE) {
    reallocate(READ_BUFFER_SIZE);
  }
  while (true) {
    const char* data = buffer_.get();
    if (const void* found = std::memchr(data + scan_from_, '\n', end_ - scan_from_)) {
      const char* line_feed = static_cast<const char*>(found);
      const char* line_end = line_feed;
      if (line_end != data + begin_ && line_end[-1] == '\r') --line_end;
      const std::optional line = std::string_view(data + begin_, line_end);
      begin_ = scan_from_ = static_cast<std::size_t>(line_feed - data) + 1;
      return line;
    }
    // Remember how far there is no LF, so a long line is searched once, not once per read.
    scan_from_ = end_;
    if (at_end_) {
      if (begin_ == end_) return std::optional<std::string_view>();
      const std::optional line = std::string_view(data + begin_, data + end_);
      begin_ = end_;
      return line;
    }
    reallocate(end_ - begin_ == size_ ? 2 * size_ : size_);
    std::size_t count = 0;
    if (const int failed = descriptor_io::read_some(fd_, buffer_.get() + end_, size_ - end_, count);
        failed != 0) {
      return Error{"failed to read standard input: " + std::generic_category().message(failed)};
    }
    at_end_ = count == 0;
    end_ += count;
  }
}

void LineReader::reallocate(std::size_t size) {
  if (size != size_) {
    auto buffer = std::make_unique_for_overwrite<char[]>(size);
    if (buffer_) std::memcpy(buffer.get(), buffer_.get() + begin_, end_ - begin_);
    buffer_ = std::move(buffer);
    size_ = size;
  } else if (begin_ != 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
  }
  end_ -= begin_;
  scan_from_ -= begin_;
  begin_ = 0;
}

Status write_all(int fd, std::string_view bytes) {
  if (const int failed = descriptor_io::write_all(fd, bytes); failed != 0) {
    return Error{"failed to write standard output: " + std::generic_category().message(failed)};
  }
  return Done{};
}

Status serve_lines(int input, int output, const engine::Snapshots& snapshots,
                   engine::HistorySourceHandle history) {
  LineReader reader(input);
  LineHandler handler(snapshots, std::move(history));
  std::string response;
  // An answer that echoes a long structured value (an id, a version refused) is written in parts
  // as the value is written (see write_canonical), never held whole beside the line. Every other
  // answer is one write.
  Status spilled = Done{};
  const Spill spill = [output, &spilled](std::string& part) {
    if (spilled.ok()) spilled = write_all(output, part);
    part.clear();
  };
  while (true) {
    auto next = reader.next_line();
    if (!next.ok()) return next.error();
    const auto& line = next.value();
    if (!line) return Done{};
    // LF never occurs inside a multi-byte sequence, so checking line by line checks the stream.
    if (!text::is_valid_utf8(*line)) {
      if (handler.session().revision->skips_invalid_utf8) continue;
      return Error{"stream did not contain valid UTF-8"};
    }
    response.clear();
    if (!handler.answer(*line, response, spill)) continue;
    if (!spilled.ok()) return spilled;
    response.push_back('\n');
    if (Status written = write_all(output, response); !written.ok()) return written;
    // The buffer is kept from line to line, but not at the size one huge answer gave it.
    if (response.capacity() > READ_BUFFER_SIZE) response = std::string();
  }
}

}  // namespace qmr::mcp
