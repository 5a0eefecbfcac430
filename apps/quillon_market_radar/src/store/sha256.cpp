#include "store/sha256.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QMR_SHA_INSTRUCTIONS 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace qmr::store {

namespace {

constexpr std::array<std::uint32_t, 64> ROUND_CONSTANTS = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

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
    const std::uint32_t t1 = h + s1 + choice + ROUND_CONSTANTS[i] + w[i];
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

#ifdef QMR_SHA_INSTRUCTIONS
// Compresses `count` 64-byte blocks into `state` with the SHA extensions: each sha256rnds2 does
// two rounds on the state held as ABEF and CDGH, and sha256msg1/msg2 extend the message schedule
// four words at a time.
__attribute__((target("sha,ssse3,sse4.1"))) void compress_sha_instructions(
    std::array<std::uint32_t, 8>& state, const unsigned char* blocks, std::size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; count > 0; --count, blocks += 64) {
    const __m128i abef_before = abef;
    const __m128i cdgh_before = cdgh;
    __m128i message[4];
    for (int i = 0; i < 4; ++i) {
      message[i] = _mm_shuffle_epi8(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)), byte_swap);
    }
    for (std::size_t group = 0; group < 16; ++group) {
      __m128i& current = message[group % 4];
      __m128i& previous = message[(group + 3) % 4];
      __m128i& next = message[(group + 1) % 4];
      __m128i words = _mm_add_epi32(
          current, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&ROUND_CONSTANTS[4 * group])));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);
      if (group >= 3 && group <= 14) {
        next = _mm_sha256msg2_epu32(_mm_add_epi32(next, _mm_alignr_epi8(current, previous, 4)),
                                    current);
      }
      words = _mm_shuffle_epi32(words, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, words);
      if (group >= 1 && group <= 12) previous = _mm_sha256msg1_epu32(previous, current);
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), hgfe);
}
#endif

}  // namespace

bool Sha256::has_sha_instructions() {
#ifdef QMR_SHA_INSTRUCTIONS
  static const bool has = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return ssse3 && sse41 && (ebx & (1u << 29)) != 0;
  }();
  return has;
#else
  return false;
#endif
}

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
  const std::uint64_t bits = length_ * 8;
  block_[used_++] = 0x80;
  if (used_ > 56) {
    while (used_ < 64) block_[used_++] = 0;
    compress(block_.data(), 1);
    used_ = 0;
  }
  while (used_ < 56) block_[used_++] = 0;
  for (int shift = 56; shift >= 0; shift -= 8) {
    block_[used_++] = static_cast<unsigned char>(bits >> shift);
  }
  compress(block_.data(), 1);
  constexpr std::string_view DIGITS = "0123456789abcdef";
  std::string hex;
  for (const std::uint32_t word : state_) {
    for (int shift = 28; shift >= 0; shift -= 4) hex += DIGITS[(word >> shift) & 0xf];
  }
  return hex;
}

void Sha256::compress(const unsigned char* blocks, std::size_t count) {
#ifdef QMR_SHA_INSTRUCTIONS
  if (hardware_) {
    compress_sha_instructions(state_, blocks, count);
    return;
  }
#endif
  for (; count > 0; --count, blocks += 64) compress_portable(state_, blocks);
}

}  // namespace qmr::store
