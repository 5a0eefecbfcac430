#include "store/csv.hpp"

#include <array>
#include <string_view>

#include "base/text.hpp"
#include "store/sha256.hpp"

namespace qmr::store {

namespace {

constexpr std::size_t CHUNK_BYTES = 64 * 1024;
constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

// Windows-1252's bytes 0x80 to 0x9F; the rest of its upper half is Latin-1, the code point of
// the same number.
constexpr std::array<char16_t, 32> WINDOWS_1252_HIGH = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void append_utf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

// Returns the length of the longest prefix of `bytes` that ends on a UTF-8 sequence's boundary:
// a sequence cut by the end of a chunk waits for the next one.
std::size_t complete_prefix(std::string_view bytes) {
  const std::size_t size = bytes.size();
  for (std::size_t back = 1; back <= 4 && back <= size; ++back) {
    const auto byte = static_cast<unsigned char>(bytes[size - back]);
    if (byte < 0x80) return size;
    if (byte >= 0xC0) {
      const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
      return length > back ? size - back : size;
    }
  }
  return size;
}

// Returns `text` decoded from Windows-1252 to UTF-8 (its five unassigned bytes as the C1 controls
// of the same number, as web browsers do).
std::string windows_1252_to_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (const char byte : text) {
    const auto value = static_cast<unsigned char>(byte);
    if (value >= 0x80 && value < 0xA0) {
      append_utf8(out, WINDOWS_1252_HIGH[value - 0x80]);
    } else {
      append_utf8(out, value);
    }
  }
  return out;
}

}  // namespace

Result<FileFacts> inspect_file(std::istream& in, const std::string& name) {
  FileFacts facts;
  Sha256 digest;
  std::string chunk(CHUNK_BYTES, '\0');
  std::string pending;
  bool valid = true;
  bool first = true;
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    const std::string_view piece(chunk.data(), static_cast<std::size_t>(in.gcount()));
    // UTF-16 begins with its byte-order mark, or without one has a zero byte in its first
    // character: "s\0k\0u\0".
    if (first && piece.size() >= 2 &&
        (piece.substr(0, 2) == "\xFF\xFE" || piece.substr(0, 2) == "\xFE\xFF" || piece[0] == '\0' ||
         piece[1] == '\0')) {
      return Error{name +
                   " is UTF-16 text, which this program does not read: save it as UTF-8 (in Excel, "
                   "Save As \"CSV UTF-8\"; in Notepad, Save As with the encoding \"UTF-8\") and "
                   "import that file"};
    }
    first = false;
    digest.update(piece);
    facts.size += piece.size();
    if (valid) {
      pending.append(piece);
      const std::size_t cut = complete_prefix(pending);
      valid = text::is_valid_utf8(std::string_view(pending).substr(0, cut));
      pending.erase(0, cut);
    }
  }
  if (in.bad()) return Error{name + " could not be read"};
  if (valid && !pending.empty()) valid = text::is_valid_utf8(pending);
  facts.encoding = valid ? Encoding::UTF8 : Encoding::WINDOWS_1252;
  facts.sha256 = digest.hex_digest();
  return facts;
}

CsvReader::CsvReader(std::istream& in, Encoding encoding, CsvLimits limits)
    : in_(in), encoding_(encoding), limits_(limits) {}

bool CsvReader::fill() {
  std::string raw(CHUNK_BYTES, '\0');
  in_.read(raw.data(), static_cast<std::streamsize>(raw.size()));
  raw.resize(static_cast<std::size_t>(in_.gcount()));
  bytes_read_ += raw.size();
  if (!started_) {
    started_ = true;
    if (raw.compare(0, BYTE_ORDER_MARK.size(), BYTE_ORDER_MARK) == 0) {
      raw.erase(0, BYTE_ORDER_MARK.size());
    }
    const std::size_t line_end = raw.find('\n');
    if (raw.substr(0, line_end).find('\t') != std::string::npos) separator_ = '\t';
  }
  buffer_ = encoding_ == Encoding::WINDOWS_1252 ? windows_1252_to_utf8(raw) : std::move(raw);
  position_ = 0;
  return !buffer_.empty();
}

bool CsvReader::next(CsvRecord& record) {
  enum class State { FIELD_START, UNQUOTED, QUOTED, QUOTE_IN_QUOTED };
  // The record's strings are kept from one record to the next and written over, so that a file of
  // equal records allocates nothing per field; `count` says how many of them this record holds.
  std::vector<std::string>& fields = record.fields;
  std::size_t count = 0;
  record.problem.clear();
  record.line = line_;
  State state = State::FIELD_START;
  std::size_t record_bytes = 0;
  bool content = false;  // anything but a line break: a blank line is no record
  bool skip_line_feed = false;

  // The field being read; made when its first byte comes, empty until then.
  auto field = [&]() -> std::string& {
    if (count == fields.size()) fields.emplace_back();
    return fields[count];
  };
  auto fail = [&](std::string problem) {
    if (record.problem.empty()) record.problem = std::move(problem);
    fields.clear();
    count = 0;
  };
  auto add = [&](const char* bytes, std::size_t size) {
    if (!record.problem.empty()) return;
    record_bytes += size;
    if (record_bytes > limits_.max_record_bytes) {
      fail("the record is longer than " + std::to_string(limits_.max_record_bytes) + " bytes");
      return;
    }
    field().append(bytes, size);
  };
  auto end_field = [&] {
    if (record.problem.empty()) {
      if (count == limits_.max_fields) {
        fail("the record has more than " + std::to_string(limits_.max_fields) + " fields");
      } else {
        field();  // an empty field has had no byte to make it
        ++count;
        if (count < fields.size()) fields[count].clear();
      }
    }
    state = State::FIELD_START;
  };
  auto end_record = [&] {
    end_field();
    fields.resize(count);
  };
  if (!fields.empty()) fields.front().clear();

  for (;;) {
    if (position_ == buffer_.size() && (ended_ || !fill())) {
      ended_ = true;
      if (state == State::QUOTED) {
        fail("a quoted field is never closed");
        return true;
      }
      if (!content) {
        fields.clear();
        return false;
      }
      end_record();
      return true;
    }
    // A run of plain bytes is taken at once: inside quotes up to a quote or a line feed (whose line
    // is counted below), outside up to a separator, a quote or a line break.
    if (!skip_line_feed) {
      const char* const begin = buffer_.data() + position_;
      const char* const end = buffer_.data() + buffer_.size();
      const char* stop = begin;
      if (state == State::QUOTED) {
        while (stop != end && *stop != '"' && *stop != '\n') ++stop;
      } else {
        while (stop != end && *stop != separator_ && *stop != '"' && *stop != '\n' &&
               *stop != '\r') {
          ++stop;
        }
        if (stop != begin) state = State::UNQUOTED;
      }
      if (stop != begin) {
        content = true;
        add(begin, static_cast<std::size_t>(stop - begin));
        position_ += static_cast<std::size_t>(stop - begin);
        continue;
      }
    }
    const char byte = buffer_[position_++];
    if (skip_line_feed) {
      skip_line_feed = false;
      if (byte == '\n') continue;
    }
    if (state == State::QUOTED) {
      content = true;
      if (byte == '"') {
        state = State::QUOTE_IN_QUOTED;
      } else {
        if (byte == '\n') ++line_;
        add(&byte, 1);
      }
      continue;
    }
    if (byte == '\n' || byte == '\r') {
      ++line_;
      skip_line_feed = byte == '\r';
      if (!content) {
        record.line = line_;  // a blank line: the next record starts after it
        continue;
      }
      end_record();
      // The line feed of a CRLF is taken now when it is at hand, so the next call starts clean.
      if (skip_line_feed && (position_ < buffer_.size() || fill()) && buffer_[position_] == '\n') {
        ++position_;
      }
      return true;
    }
    content = true;
    if (byte == separator_) {
      end_field();
    } else if (byte == '"' && state == State::FIELD_START) {
      state = State::QUOTED;
    } else if (byte == '"' && state == State::QUOTE_IN_QUOTED) {
      add(&byte, 1);  // a doubled quote inside quotes
      state = State::QUOTED;
    } else {
      // A quote inside an unquoted field, or text after a closing quote, is kept as it stands.
      add(&byte, 1);
      state = State::UNQUOTED;
    }
  }
}

}  // namespace qmr::store
