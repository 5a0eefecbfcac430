#include "base/text.hpp"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <bit>
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

void append_lower(std::string_view text, std::string& out) {
  const std::size_t start = out.size();
  if (is_ascii(text)) {
    // ASCII lowers to ASCII under the full mapping too, three times cheaper without ICU.
    out.resize(start + text.size());
    std::transform(text.begin(), text.end(), out.data() + start, ascii_lower);
    return;
  }
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode status = U_ZERO_ERROR;
  // "" is the root locale; the default would follow LANG and lower "I" the Turkish way.
  icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())),
                            sink, nullptr, status);
  if (U_FAILURE(status)) out.replace(start, std::string::npos, text);
}

std::string to_lower(std::string_view text) {
  std::string lower;
  // No character's lower case is more than half as long again as the character in UTF-8 ("İ",
  // U+023A and U+023E: two bytes become three), so the text is never grown while it is lowered.
  lower.reserve(is_ascii(text) ? text.size() : text.size() + text.size() / 2);
  append_lower(text, lower);
  return lower;
}

bool lowered_contains(std::string_view text, std::string_view lowered) {
  if (lowered.empty()) return true;
  // Each place where the needle's first byte stands (a letter in either case), then the rest,
  // eight places at a time: or-ing in 0x20 gives both cases of a letter its lower case and no
  // other byte it, and a byte of `found` has its high bit set where the first byte stands. ASCII
  // lowers a character at a time, to ASCII, and lower case stays as it is: a match so found is
  // one in the lowered text. Only a text beyond ASCII without one is lowered whole (a Kelvin
  // sign lowers to "k").
  const auto first = static_cast<std::uint8_t>(lowered.front());
  const std::uint64_t fold = first >= 'a' && first <= 'z' ? 0x2020202020202020ULL : 0;
  constexpr std::uint64_t LOW_BITS = 0x7F7F7F7F7F7F7F7FULL;
  constexpr bool LITTLE = std::endian::native == std::endian::little;
  const std::uint64_t wanted = 0x0101010101010101ULL * first;
  const std::size_t places = text.size() >= lowered.size() ? text.size() - lowered.size() + 1 : 0;
  const auto rest_matches = [&](std::size_t place) {
    std::size_t i = 1;
    while (i < lowered.size() && ascii_lower(text[place + i]) == lowered[i]) ++i;
    return i == lowered.size();
  };
  // Looks at the word from `at`, its lanes below `from` and from `places` on left out.
  std::uint64_t seen = 0;
  const auto word_matches = [&](std::size_t at, std::size_t from) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + at, 8);
    seen |= word;
    const std::uint64_t differ = (word | fold) ^ wanted;
    std::uint64_t found = ~(((differ & LOW_BITS) + LOW_BITS) | differ | LOW_BITS);
    const auto lanes = [](std::size_t count) {  // the first `count` lanes of a word, count < 8
      const auto bits = static_cast<int>(8 * count);
      return LITTLE ? (std::uint64_t{1} << bits) - 1 : ~(~std::uint64_t{0} >> bits);
    };
    if (from > at) found &= ~lanes(from - at);
    if (places < at + 8) found &= places > at ? lanes(places - at) : 0;
    while (found != 0) {
      const int bit = LITTLE ? std::countr_zero(found) : 63 - std::countl_zero(found);
      const std::size_t place = at + static_cast<std::size_t>(LITTLE ? bit / 8 : 7 - bit / 8);
      if (rest_matches(place)) return true;
      found &= ~(std::uint64_t{1} << bit);
    }
    return false;
  };
  if (text.size() >= 8) {
    std::size_t at = 0;
    for (; at + 8 <= text.size(); at += 8) {
      if (word_matches(at, at)) return true;
    }
    // The last bytes, in the word that ends the text.
    if (at < text.size() && word_matches(text.size() - 8, at)) return true;
  } else {
    for (const char c : text) seen |= static_cast<std::uint8_t>(c);
    for (std::size_t at = 0; at < places; ++at) {
      if ((static_cast<std::uint8_t>(text[at]) | (fold & 0xFF)) == first && rest_matches(at)) {
        return true;
      }
    }
  }
  return (seen & ~LOW_BITS) != 0 && to_lower(text).find(lowered) != std::string::npos;
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
