#include "store/sha256.hpp"

#include <algorithm>
#include <cstring>

#include "store/sha256_blocks.hpp"

namespace qmr::store {

namespace {

constexpr std::uint32_t rotate_right(std::uint32_t value, int bits) {
  return (value >> bits) | (value << (32 - bits));
}

// Compresses one 64-byte block into `state`.
void compress_portable(std::array<std::uint32_t, 8>& state, const unsigned char* block) {
  std::array<std::uint32_t, 64> w{};
  for (std::size_t i = 0; i < 16; ++i) {
    w[i] = std::uint32_t{block[4 * i]} << 24 | std::uint32_t{block[4 * i + 1]} << 16 |
           std::uint32_t{block[4 * i + 2]} << 8 | std::uint32_t{block[4 * i + 3]};
  }
  for (std::size_t i = 16; i < 64; ++i) {
    const std::uint32_t s0 =
        rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 =
        rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  auto [a, b, c, d, e, f, g, h] = state;
  for (std::size_t i = 0; i < 64; ++i) {
    const std::uint32_t s1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
    const std::uint32_t choice = (e & f) ^ (~e & g);
    const std::uint32_t t1 = h + s1 + choice + sha256_blocks::ROUND_CONSTANTS[i] + w[i];
    const std::uint32_t s0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
    const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const std::uint32_t t2 = s0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  const std::array<std::uint32_t, 8> added = {a, b, c, d, e, f, g, h};
  for (std::size_t i = 0; i < 8; ++i) state[i] += added[i];
}

}  // namespace

bool Sha256::has_sha_instructions() { return sha256_blocks::available(); }

Sha256::Sha256(Sha256Engine engine)
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19},
      hardware_(engine == Sha256Engine::FASTEST && has_sha_instructions()) {}

void Sha256::update(std::string_view bytes) {
  if (bytes.empty()) return;
  length_ += bytes.size();
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t size = bytes.size();
  if (used_ > 0) {
    const std::size_t taken = std::min(size, block_.size() - used_);
    std::memcpy(block_.data() + used_, data, taken);
    used_ += taken;
    data += taken;
    size -= taken;
    if (used_ < block_.size()) return;
    compress(block_.data(), 1);
    used_ = 0;
  }
  // Whole blocks straight from the input; the rest waits in block_.
  compress(data, size / 64);
  std::memcpy(block_.data(), data + size / 64 * 64, size % 64);
  used_ = size % 64;
}

std::string Sha256::hex_digest() {
  // The message ends with 0x80, the zeros that bring it to 56 bytes of a block, and its length in
  // bits, most significant byte first.
  const std::uint64_t bits = length_ * 8;
  std::array<char, 72> tail{'\x80'};
  const std::size_t zeros = (119 - used_) % 64;
  for (std::size_t i = 0; i < 8; ++i) tail[1 + zeros + i] = static_cast<char>(bits >> (56 - 8 * i));
  update(std::string_view(tail.data(), 1 + zeros + 8));
  constexpr std::string_view DIGITS = "0123456789abcdef";
  std::string hex;
  for (const std::uint32_t word : state_) {
    for (int shift = 28; shift >= 0; shift -= 4) hex += DIGITS[(word >> shift) & 0xf];
  }
  return hex;
}

void Sha256::compress(const unsigned char* blocks, std::size_t count) {
  if (hardware_) {
    sha256_blocks::compress(state_, blocks, count);
    return;
  }
  for (; count > 0; --count, blocks += 64) compress_portable(state_, blocks);
}

}  // namespace qmr::store
