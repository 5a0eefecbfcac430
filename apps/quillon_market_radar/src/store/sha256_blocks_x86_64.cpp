// SHA-256 blocks compressed by x86-64's SHA extensions, where the processor has them (asked once,
// with cpuid).
#include <cpuid.h>
#include <immintrin.h>

#include "store/sha256_blocks.hpp"

namespace qmr::store::sha256_blocks {

namespace {

// Compresses `count` 64-byte blocks into `state` with the SHA extensions: each sha256rnds2 does
// two rounds on the state held as ABEF and CDGH, and sha256msg1/msg2 extend the message schedule
// four words at a time.
__attribute__((target("sha,ssse3,sse4.1"))) void compress_with_instructions(
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

}  // namespace

bool available() {
  static const bool has = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return ssse3 && sse41 && (ebx & (1u << 29)) != 0;
  }();
  return has;
}

void compress(std::array<std::uint32_t, 8>& state, const unsigned char* blocks, std::size_t count) {
  compress_with_instructions(state, blocks, count);
}

}  // namespace qmr::store::sha256_blocks
