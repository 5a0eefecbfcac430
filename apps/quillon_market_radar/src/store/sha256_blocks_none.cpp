// A processor without SHA-256 instructions of its own: the portable code compresses every block.
#include "store/sha256_blocks.hpp"

namespace qmr::store::sha256_blocks {

bool available() { return false; }

void compress(std::array<std::uint32_t, 8>&, const unsigned char*, std::size_t) {}

}  // namespace qmr::store::sha256_blocks
