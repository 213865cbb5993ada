// Builds chunk-key collisions for the tests; see collision.h.
#include "support/collision.h"

#include "dedup/chunker.h"

namespace cdedup::test {

namespace {

bool has_boundary_after(const Bytes& prefix, const Bytes& tail, uint32_t chunklen, size_t* first = nullptr) {
  Chunker ck{};
  chunker_init(ck, chunklen);
  for (uint8_t x : prefix)
    if (chunker_feed(ck, x)) chunker_end_chunk(ck);
  for (size_t i = 0; i < tail.size(); ++i)
    if (chunker_feed(ck, tail[i])) {
      if (first) *first = i;
      return true;
    }
  return false;
}

}  // namespace

ChunkKey key_of(const Bytes& chunk) {
  FoldBlock fb;
  fold_reset(fb);
  for (uint8_t x : chunk) fold_add(fb, x);
  ChunkKey key;
  fold_finish(fb, static_cast<uint32_t>(chunk.size()), key);
  return key;
}

Collision make_collision(uint32_t chunklen, size_t len) {
  Collision c;
  for (uint64_t seed = 1;; ++seed) {
    c.a = seeded_bytes(seed * 131, len);
    size_t first = 0;
    if (has_boundary_after({}, c.a, chunklen, &first) && first == len - 1) break;
  }
  auto mixed_first_fill = [](const Bytes& chunk) {
    FoldBlock fb;
    fold_reset(fb);
    for (size_t i = 0; i < 63; ++i) fold_add(fb, chunk[i]);
    fold_mix(fb);
    return fb;
  };
  const FoldBlock ma = mixed_first_fill(c.a);
  // p lands the second change among the last 16 bytes, so b's ends differ from a's.
  for (size_t p = len - 16 - 63; p < len - 63; ++p) {
    for (int d = 1; d < 256; ++d) {
      c.b = c.a;
      c.b[p] ^= static_cast<uint8_t>(d);
      c.b[63 + p] ^= static_cast<uint8_t>(d);
      const FoldBlock mb = mixed_first_fill(c.b);
      for (size_t i = 0; i < 16; ++i) c.b[63 + i] ^= static_cast<uint8_t>(ma.bytes[i] ^ mb.bytes[i]);
      if (!has_boundary_after(c.a, c.b, chunklen)) return c;
    }
  }
  c.b.clear();
  return c;
}

}  // namespace cdedup::test
