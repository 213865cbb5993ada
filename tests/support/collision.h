// Two different chunks with the same chunk key, made on purpose.
#pragma once

#include "dedup/fingerprint.h"
#include "support/codec_driver.h"

namespace cdedup::test {

// A final chunk that is not the same bytes as an earlier chunk but has its
// key.  Equal content cannot do it: a chunk's end depends on its own bytes
// only, so a copy of a whole chunk ends where the chunk did.  The fold XORs
// later fills onto bytes 16..62 of the block as the previous mix left them,
// so flipping byte p of the first fill and byte p of the second, and
// cancelling the mix difference in the second fill's first 16 bytes, keeps
// the block, and so the key.
struct Collision {
  Bytes a;  // a first chunk, cut by the chunker at its last byte
  Bytes b;  // same length and key as a, and no boundary in it
};

Collision make_collision(uint32_t chunklen, size_t len);
ChunkKey key_of(const Bytes& chunk);

}  // namespace cdedup::test
