// The byte-moving edge of the tool server: LF-framed lines read from a descriptor into one growing
// buffer, and response lines written to another. Works on any pair of descriptors, so the loop is
// tested on files and pipes as well as on the process's own standard streams.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "base/result.hpp"
#include "engine/history_source.hpp"
#include "engine/snapshots.hpp"

namespace qmr::mcp {

/// Bytes asked of each read at first; the buffer doubles whenever one line outgrows it, and
/// returns to this size once the long line is handled.
inline constexpr std::size_t READ_BUFFER_SIZE = 64 * 1024;

/// Splits the bytes of a descriptor into lines. It does not own the descriptor.
class LineReader {
 public:
  explicit LineReader(int fd);

  /// Returns the next line without its LF and without one CR directly before the LF; a last line
  /// without an LF is returned as it is. Returns nothing at end of input, or the error of a failed
  /// read. The view stays valid until the next call.
  [[nodiscard]] Result<std::optional<std::string_view>> next_line();

 private:
  // Moves the unread bytes to the front of a buffer of `size` bytes, a new one if that is new.
  void reallocate(std::size_t size);

  int fd_;
  // Left uninitialised: its bytes are written by a read before they are looked at, and zeroing a
  // buffer grown for a long line would make all of it resident at once.
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
  std::size_t begin_ = 0;      // first byte of the line being assembled
  std::size_t scan_from_ = 0;  // bytes before this hold no LF of that line
  std::size_t end_ = 0;        // one past the last byte read
  bool at_end_ = false;
};

/// Writes all of `bytes` to `fd`, resuming after short writes and interruptions and waiting while a
/// non-blocking `fd` is full; returns the error of a write that fails (EPIPE once the reader has
/// gone, EFBIG past the file-size limit).
[[nodiscard]] Status write_all(int fd, std::string_view bytes);

/// Answers every line of `input` on `output`, one response line per answered request. A line that
/// is not valid UTF-8 is skipped when the session's revision says so, and otherwise ends the run
/// with the UTF-8 error (earlier lines stay answered). Returns success at end of input, or the
/// error of a read or write that fails. With `history` (a store given), the history tool is served.
[[nodiscard]] Status serve_lines(int input, int output, const engine::Snapshots& snapshots,
                                 engine::HistorySourceHandle history = nullptr);

}  // namespace qmr::mcp
