#include "base/text.hpp"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace qmr::text {

namespace {

// White_Space, with the ASCII members answered without a table lookup.
bool is_space(char32_t c) {
  return c < 0x80 ? (c == ' ' || (c >= 0x09 && c <= 0x0D))
                  : u_isUWhiteSpace(static_cast<UChar32>(c));
}

bool is_ascii(std::string_view text) {
  // Every byte's high bit in one: a loop the compiler vectorises, unlike one that stops early.
  unsigned char bits = 0;
  for (const char c : text) bits |= static_cast<unsigned char>(c);
  return bits < 0x80;
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Calls `visit(code_point, begin, end)` for every code point of valid UTF-8 `text` and stops
// early when `visit` returns false.
template <typename Visit>
void for_each_code_point(std::string_view text, Visit visit) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t i = 0;
  while (i < length) {
    const std::int32_t begin = i;
    UChar32 c;
    U8_NEXT_OR_FFFD(bytes, i, length, c);
    if (!visit(static_cast<char32_t>(c), static_cast<std::size_t>(begin),
               static_cast<std::size_t>(i))) {
      return;
    }
  }
}

}  // namespace

std::string to_lower(std::string_view text) {
  if (is_ascii(text)) {
    // ASCII lowers to ASCII under the full mapping too, three times cheaper without ICU.
    std::string lower(text);
    for (char& c : lower) c = ascii_lower(c);
    return lower;
  }
  // No character's lower case is more than half as long again as the character in UTF-8 ("İ",
  // U+023A and U+023E: two bytes become three), so the text is never grown while it is lowered.
  std::string lower;
  lower.reserve(text.size() + text.size() / 2);
  icu::StringByteSink<std::string> sink(&lower);
  UErrorCode status = U_ZERO_ERROR;
  // "" is the root locale; the default would follow LANG and lower "I" the Turkish way.
  icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())),
                            sink, nullptr, status);
  if (U_FAILURE(status)) return std::string(text);
  return lower;
}

bool lowered_contains(std::string_view text, std::string_view lowered) {
  if (lowered.empty()) return true;
  if (!is_ascii(text)) return to_lower(text).find(lowered) != std::string::npos;
  if (lowered.size() > text.size()) return false;
  // Each place where the first character stands in either case, then the rest.
  const char first = lowered.front();
  const char upper = first >= 'a' && first <= 'z' ? static_cast<char>(first - 'a' + 'A') : first;
  const std::size_t last = text.size() - lowered.size();
  for (std::size_t at = 0; at <= last; ++at) {
    if (text[at] != first && text[at] != upper) continue;
    std::size_t i = 1;
    while (i < lowered.size() && ascii_lower(text[at + i]) == lowered[i]) ++i;
    if (i == lowered.size()) return true;
  }
  return false;
}

bool is_valid_utf8(std::string_view bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const auto length = static_cast<std::int64_t>(bytes.size());
  std::int64_t i = 0;
  while (i < length) {
    // Runs of ASCII are the common case; skip them eight bytes at a time.
    while (i + 8 <= length) {
      std::uint64_t word;
      std::memcpy(&word, data + i, 8);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= length) break;
    if (data[i] < 0x80) {
      ++i;
      continue;
    }
    // ICU's macros work on 32-bit lengths: check one sequence in a window of at most 4 bytes.
    const auto window = static_cast<std::int32_t>(std::min<std::int64_t>(4, length - i));
    std::int32_t j = 0;
    UChar32 c;
    U8_NEXT(data + i, j, window, c);
    if (c < 0) return false;
    i += j;
  }
  return true;
}

std::string decode_utf8_lossy(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  for_each_code_point(bytes, [&](char32_t c, std::size_t begin, std::size_t end) {
    if (c == 0xFFFD && bytes.substr(begin, end - begin) != "\xEF\xBF\xBD") {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(bytes, begin, end - begin);
    }
    return true;
  });
  return out;
}

std::vector<std::string_view> split_white_space(std::string_view text, std::size_t max_tokens) {
  std::vector<std::string_view> tokens;
  std::size_t token_begin = std::string_view::npos;
  for_each_code_point(text, [&](char32_t c, std::size_t begin, std::size_t) {
    const bool space = is_space(c);
    if (space && token_begin != std::string_view::npos) {
      tokens.push_back(text.substr(token_begin, begin - token_begin));
      token_begin = std::string_view::npos;
      if (tokens.size() == max_tokens) return false;
    } else if (!space && token_begin == std::string_view::npos) {
      token_begin = begin;
    }
    return true;
  });
  if (token_begin != std::string_view::npos && tokens.size() < max_tokens) {
    tokens.push_back(text.substr(token_begin));
  }
  return tokens;
}

}  // namespace qmr::text
