// Chunk fingerprint: chunk bytes XOR-folded 63 at a time into a 64-byte block
// that the MD5 compression function mixes whenever it is full and once more at
// the chunk's end.  Nothing of the chunk is kept beyond this block.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cdedup {

// Bytes folded between two mixes (a fill); byte FOLD_FILL of the block
// counts those folded since the last mix.
inline constexpr uint32_t FOLD_FILL = 63;

struct FoldBlock {
  alignas(16) uint8_t bytes[64];
};

// 14 fingerprint bytes and the chunk length, 16-bit little-endian.
struct ChunkKey {
  alignas(4) uint8_t bytes[16];
};

// The MD5 block compression function of RFC 1321, on one 64-byte block:
// adds the block's transform into state[0..3].
void md5_compress(uint32_t state[4], const uint8_t block[64]);

void fold_reset(FoldBlock& fb);
void fold_mix(FoldBlock& fb);

inline void fold_add(FoldBlock& fb, uint8_t b) {
  uint8_t i = fb.bytes[FOLD_FILL];
  if (i == FOLD_FILL) {
    fold_mix(fb);
    i = 0;
  }
  fb.bytes[i] ^= b;
  fb.bytes[FOLD_FILL] = static_cast<uint8_t>(i + 1);
}

// Same as fold_add on each byte of the span, in order.
void fold_add_span(FoldBlock& fb, const uint8_t* data, size_t len);

// Final mix, key out, block cleared.
void fold_finish(FoldBlock& fb, uint32_t chunk_len, ChunkKey& key);

}  // namespace cdedup
