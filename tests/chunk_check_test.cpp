// The content check that keeps the lossless encoder from trusting a chunk key
// alone: a made collision must round-trip, and the index must tell a hit with
// another chunk's content from a real one.
#include <cdedup/cdedup.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "dedup/chunk_check.h"
#include "dedup/chunk_index.h"
#include "support/codec_driver.h"
#include "support/collision.h"

namespace cdedup::test {
namespace {

TEST(ChunkCheck, KeyedAndSensitiveToEveryByte) {
  auto k1 = std::make_unique<CheckKey>();
  auto k2 = std::make_unique<CheckKey>();
  check_key_seed(*k1, 1);
  check_key_seed(*k2, 2);
  for (uint64_t k : k1->k) ASSERT_LT(k, (uint64_t{1} << 61) - 1);

  const Bytes a = seeded_bytes(5, 65535);
  for (size_t n : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{63}, size_t{64}, size_t{65535}}) {
    const uint64_t base = chunk_check(*k1, a.data(), n);
    if (n != 0) {
      EXPECT_NE(base, chunk_check(*k2, a.data(), n)) << n;  // another run, another check
    }
    for (size_t at : {size_t{0}, n / 2, n - 1}) {
      if (n == 0) break;
      Bytes b(a.begin(), a.begin() + static_cast<ptrdiff_t>(n));
      b[at] ^= 0x80;
      EXPECT_NE(base, chunk_check(*k1, b.data(), n)) << n << " " << at;
    }
  }
  // Zero padding hides a trailing zero byte; harmless, as only chunks of equal
  // length (the key carries it) are ever compared.
  const Bytes z(9, 0);
  EXPECT_EQ(chunk_check(*k1, z.data(), 8), chunk_check(*k1, z.data(), 9));
}

TEST(ChunkCheck, IndexReportsHitWithOtherContent) {
  std::vector<IndexSlot> slots(64);
  std::vector<uint64_t> checks(64);
  ChunkIndex ix{};
  ix.cfg_tblsize = 64;
  ix.cfg_decwinsize = 1u << 20;
  ix.htbl = slots.data();
  ix.check = checks.data();
  uint8_t key[16] = {3, 0, 0, 0, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 100, 0};
  uint8_t other[16] = {3, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 100, 0};
  EXPECT_EQ(index_find_or_insert(ix, key, 10, 111), INDEX_MISS);
  EXPECT_EQ(index_find_or_insert(ix, other, 20, 222), INDEX_MISS);  // pushes key one slot on
  EXPECT_EQ(checks[3], 222u);
  EXPECT_EQ(checks[4], 111u);  // the check moved with its entry
  EXPECT_EQ(index_find_or_insert(ix, key, 30, 111), INDEX_HIT);
  EXPECT_EQ(ix.found_pos, 10u);
  const std::vector<IndexSlot> before = slots;
  EXPECT_EQ(index_find_or_insert(ix, key, 40, 999), INDEX_HIT_MISMATCH);
  EXPECT_EQ(ix.found_pos, 10u);
  EXPECT_EQ(0, std::memcmp(before.data(), slots.data(), slots.size() * sizeof(IndexSlot)));
}

// Without the check, A followed by B (a final chunk with A's key) encodes B
// as a reference to A and decodes to A A.
TEST(ChunkCheck, MadeCollisionRoundTrips) {
  const Collision col = make_collision(100, 103);
  ASSERT_EQ(col.b.size(), col.a.size());
  ASSERT_NE(col.a, col.b);
  const ChunkKey ka = key_of(col.a), kb = key_of(col.b);
  ASSERT_EQ(0, std::memcmp(ka.bytes, kb.bytes, 16));

  Bytes in = col.a;
  in.insert(in.end(), col.b.begin(), col.b.end());
  CodecRun enc;
  enc.params = {100, 16, 1024};
  const CodecResult e = run_both_paths(in, enc);
  ASSERT_EQ(e.final_yield, CODEC_DONE);
  CodecRun dec;
  dec.mode = CODEC_MODE_DECODE;
  const CodecResult d = run_both_paths(e.output, dec);
  ASSERT_EQ(d.final_yield, CODEC_DONE);
  EXPECT_EQ(d.output, in);
  EXPECT_EQ(e.output.size(), 4 + in.size());  // B went out as its own bytes
}

}  // namespace
}  // namespace cdedup::test
