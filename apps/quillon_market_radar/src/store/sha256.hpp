// SHA-256 (FIPS 180-4), fed in pieces, for telling a file already imported by its content.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qmr::store {

/// A running SHA-256 digest.
class Sha256 {
 public:
  Sha256();
  /// Adds `bytes` to the message.
  void update(std::string_view bytes);
  /// Returns the digest of everything added, as 64 lower-case hex digits; the object is spent.
  [[nodiscard]] std::string hex_digest();

 private:
  void compress(const unsigned char* block);
  std::array<std::uint32_t, 8> state_;
  std::array<unsigned char, 64> block_{};
  std::size_t used_ = 0;
  std::uint64_t length_ = 0;
};

}  // namespace qmr::store
