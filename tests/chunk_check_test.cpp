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
#include "dedup/exact_index.h"
#include "support/codec_driver.h"
#include "support/collision.h"

namespace cdedup::test {
namespace {

TEST(ChunkCheck, KeyedAndSensitiveToEveryByte) {
  auto k1 = std::make_unique<CheckKey>();
  auto k2 = std::make_unique<CheckKey>();
  check_key_seed(*k1, 1);
  check_key_seed(*k2, 2);
  for (uint64_t k : k1->fold) ASSERT_LT(k, (uint64_t{1} << 61) - 1);

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

// The SIMD variant is held to the plain one on every tail length, at both
// ends of the length range, and on words that make the 32-bit additions and
// the 64-bit sums wrap.
TEST(ChunkCheck, VariantsAgree) {
  if (!chunk_check_avx2_available()) GTEST_SKIP() << "no AVX2 here";
  auto k = std::make_unique<CheckKey>();
  check_key_seed(*k, 11);
  const Bytes a = seeded_bytes(9, 65535 + 32);
  for (size_t n = 0; n <= 200; ++n)
    for (size_t at : {size_t{0}, size_t{3}, size_t{31}})
      ASSERT_EQ(chunk_check_avx2(*k, a.data() + at, n), chunk_check_portable(*k, a.data() + at, n)) << n << " " << at;
  const Bytes ff(65535, 0xFF);
  for (size_t n : {size_t{4096}, size_t{65504}, size_t{65535}}) {
    EXPECT_EQ(chunk_check_avx2(*k, a.data(), n), chunk_check_portable(*k, a.data(), n)) << n;
    EXPECT_EQ(chunk_check_avx2(*k, ff.data(), n), chunk_check_portable(*k, ff.data(), n)) << n;
  }
}

// A made collision files its two chunks under different index keys that
// still share the fingerprint's home slot, so the table keeps the layout the
// fingerprint alone gives it.
TEST(ChunkCheck, CheckedKeysPartCollidingChunks) {
  const Collision col = make_collision(100, 103);
  auto k = std::make_unique<CheckKey>();
  check_key_seed(*k, 7);
  const ChunkKey ka = key_of(col.a), kb = key_of(col.b);
  ASSERT_EQ(0, std::memcmp(ka.bytes, kb.bytes, 16));
  const ChunkKey fa = checked_key(ka, chunk_check(*k, col.a.data(), col.a.size()));
  const ChunkKey fb = checked_key(kb, chunk_check(*k, col.b.data(), col.b.size()));
  EXPECT_NE(0, std::memcmp(fa.bytes, fb.bytes, 16));
  EXPECT_EQ(0, std::memcmp(fa.bytes, ka.bytes, 6));      // home slot and more of the fingerprint
  EXPECT_EQ(0, std::memcmp(fa.bytes + 14, ka.bytes + 14, 2));  // the length

  std::vector<IndexSlot> slots(64);
  ChunkIndex ix{};
  index_set_tblsize(ix, 64);
  ix.cfg_decwinsize = 1u << 20;
  ix.htbl = slots.data();
  EXPECT_EQ(index_find_or_file(ix, fa.bytes, 10), INDEX_MISS);
  EXPECT_EQ(index_find_or_file(ix, fb.bytes, 20), INDEX_MISS);
  const uint32_t home = index_home(ix, ka.bytes);
  EXPECT_EQ(index_entry_position(ix, slots[home]), 20u);  // B at the home slot, A one further on
  EXPECT_EQ(index_entry_position(ix, slots[(home + 1) % 64]), 10u);
  EXPECT_EQ(index_find_or_file(ix, fa.bytes, 30), 20u);  // back to A
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
