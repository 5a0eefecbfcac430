// SHA-256 (FIPS 180-4), fed in pieces, for telling a file already imported by its content. On an
// x86-64 processor with the SHA extensions the blocks are compressed by its instructions (five
// times as fast: the hash was a fifth of an import's time), else by the portable code, which the
// tests hold the fast one to.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qmr::store {

/// Which code compresses the blocks.
enum class Sha256Engine {
  FASTEST,   // the processor's SHA instructions where it has them, else PORTABLE
  PORTABLE,  // plain C++
};

/// A running SHA-256 digest.
class Sha256 {
 public:
  explicit Sha256(Sha256Engine engine = Sha256Engine::FASTEST);
  /// Returns whether this processor has the SHA instructions FASTEST uses.
  [[nodiscard]] static bool has_sha_instructions();
  /// Adds `bytes` to the message.
  void update(std::string_view bytes);
  /// Returns the digest of everything added, as 64 lower-case hex digits; the object is spent.
  [[nodiscard]] std::string hex_digest();

 private:
  void compress(const unsigned char* blocks, std::size_t count);
  std::array<std::uint32_t, 8> state_;
  bool hardware_ = false;
  std::array<unsigned char, 64> block_{};
  std::size_t used_ = 0;
  std::uint64_t length_ = 0;
};

}  // namespace qmr::store
