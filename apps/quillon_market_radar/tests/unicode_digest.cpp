// Lower-cases every code point U+0001-U+10FFFF on its own and asks whether it is white space,
// through the same text helpers the program uses, and prints one line: how many lower-case to
// something else, how many are white space, and a digest of every answer. The test builds it twice,
// against the system's full ICU and stand-alone as the program is linked (no ICU data), and wants
// the same line from both: a change that comes to need ICU data fails here first.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/text.hpp"

namespace {

// Returns the UTF-8 form of scalar value `c`.
std::string utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// 64-bit FNV-1a.
class Digest {
 public:
  void add(std::string_view bytes) {
    for (const char b : bytes) {
      value_ ^= static_cast<unsigned char>(b);
      value_ *= 0x100000001b3ULL;
    }
  }
  [[nodiscard]] unsigned long long value() const { return value_; }

 private:
  unsigned long long value_ = 0xcbf29ce484222325ULL;
};

}  // namespace

int main() {
  Digest digest;
  long changed = 0;
  long white = 0;
  for (char32_t c = 1; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;  // surrogates have no UTF-8 form
    const std::string text = utf8(c);
    const std::string lower = qmr::text::to_lower(text);
    const bool space = qmr::text::split_white_space(text, 1).empty();
    changed += lower != text;
    white += space;
    digest.add(lower);
    digest.add(space ? std::string_view("\1", 1) : std::string_view("\0", 1));
  }
  std::printf("U+0001-U+10FFFF: %ld lower-case to another text, %ld white space, digest %016llx\n",
              changed, white, digest.value());
  return 0;
}
