// Chunker: the tables and rolling hash against a bitwise CRC-32, and the
// boundary rules of chunker_feed, the definition the span paths are tested
// against (boundary_scan_test.cpp).
#include "dedup/chunker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace cdedup {
namespace {

// Bit-at-a-time CRC-32 (reflected 0xEDB88320, init and final XOR all ones),
// sharing nothing with the table-driven code under test.
uint32_t crc32_bitwise(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFF;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320 & (0u - (c & 1)));
  }
  return ~c;
}

// CRC-32 of the 16 bytes ending before `end`, with zeros before the start.
uint32_t window_crc(const std::vector<uint8_t>& in, size_t end) {
  uint8_t w[ROLL_WINLEN] = {};
  for (size_t k = 0; k < ROLL_WINLEN; ++k)
    if (end + k >= ROLL_WINLEN) w[k] = in[end + k - ROLL_WINLEN];
  return crc32_bitwise(w, ROLL_WINLEN);
}

std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

struct ChunkRun {
  std::vector<size_t> ends;  // input offsets just past each boundary byte
  Chunker ck;
};

ChunkRun run_feed(const std::vector<uint8_t>& in, uint32_t cfg) {
  ChunkRun r;
  chunker_init(r.ck, cfg);
  for (size_t i = 0; i < in.size(); ++i) {
    if (chunker_feed(r.ck, in[i])) {
      r.ends.push_back(i + 1);
      chunker_end_chunk(r.ck);
    }
  }
  return r;
}

// ---------------------------------------------------------------------------

TEST(ChunkerInit, TablesAreSingleByteCrcAndItsWindowRemoval) {
  Chunker ck;
  chunker_init(ck, 100);
  EXPECT_EQ(ck.roll_addtab[0], 0xD202EF8Du);
  EXPECT_EQ(ck.roll_addtab[1], 0xA505DF1Bu);
  EXPECT_EQ(ck.roll_addtab[255], 0xFF000000u);
  EXPECT_EQ(ck.roll_remtab[0], 0x2554BAE8u);
  EXPECT_EQ(ck.roll_remtab[1], 0xA2F271ABu);
  EXPECT_EQ(ck.roll_remtab[0x80], 0x9FD87100u);
  EXPECT_EQ(ck.roll_remtab[255], 0x3DEE8CA6u);

  uint8_t buf[1 + ROLL_WINLEN] = {};
  const uint32_t empty = crc32_bitwise(buf + 1, ROLL_WINLEN);
  for (uint32_t x = 0; x < 256; ++x) {
    buf[0] = static_cast<uint8_t>(x);
    EXPECT_EQ(ck.roll_addtab[x], crc32_bitwise(buf, 1)) << x;
    EXPECT_EQ(ck.roll_remtab[x], crc32_bitwise(buf, sizeof buf) ^ empty) << x;
  }
}

TEST(ChunkerInit, StartState) {
  Chunker ck;
  std::memset(&ck, 0xA5, sizeof ck);  // init must not rely on a zeroed block
  chunker_init(ck, 100);
  EXPECT_EQ(ck.chunk_threshold, 42949672u);
  EXPECT_EQ(ck.roll_hash, 0xECBB4B55u);
  EXPECT_EQ(ck.roll_winlen, 16u);
  EXPECT_EQ(ck.roll_pos, 0u);
  EXPECT_EQ(ck.chunk_len, 0u);
  for (uint8_t b : ck.roll_ring) ASSERT_EQ(b, 0);

  chunker_init(ck, 1);
  EXPECT_EQ(ck.chunk_threshold, 0xFFFFFFFFu);
  chunker_init(ck, 2);
  EXPECT_EQ(ck.chunk_threshold, 0x7FFFFFFFu);
}

TEST(ChunkerFeed, WorkedHashes) {
  Chunker ck;
  chunker_init(ck, 100);
  chunker_feed(ck, 0);
  EXPECT_EQ(ck.roll_hash, 0xECBB4B55u);

  chunker_init(ck, 100);
  for (uint8_t b = 0; b < 16; ++b) chunker_feed(ck, b);
  EXPECT_EQ(ck.roll_hash, 0xCECEE288u);
  chunker_feed(ck, 0x10);
  EXPECT_EQ(ck.roll_hash, 0x094C80F1u);

  chunker_init(ck, 100);
  for (const uint8_t b : {0x61, 0x62, 0x63}) EXPECT_FALSE(chunker_feed(ck, b));
  EXPECT_EQ(ck.roll_hash, 0x26DED385u);
}

TEST(ChunkerFeed, HashIsCrcOfLastSixteenBytes) {
  std::mt19937 rng(1);
  const auto in = random_bytes(rng, 2000);
  Chunker ck;
  chunker_init(ck, 100);
  for (size_t i = 0; i < in.size(); ++i) {
    if (chunker_feed(ck, in[i])) chunker_end_chunk(ck);
    ASSERT_EQ(ck.roll_hash, window_crc(in, i + 1)) << "after byte " << i;
  }
}

TEST(ChunkerFeed, ChunkLengthOneEndsEveryChunkAtMinimum) {
  std::mt19937 rng(2);
  const auto in = random_bytes(rng, 64 * 50);
  Chunker ck;
  chunker_init(ck, 1);
  uint32_t len = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    const bool end = chunker_feed(ck, in[i]);
    ++len;
    // Only a hash of exactly 0xFFFFFFFF lets a chunk run past 64.
    ASSERT_EQ(end, len >= CHUNK_MIN_LEN && ck.roll_hash != 0xFFFFFFFF) << i;
    if (end) {
      chunker_end_chunk(ck);
      len = 0;
    }
  }
}

TEST(ChunkerFeed, ZeroRunEndsOnlyAtCap) {
  // 0xECBB4B55 is not below 0x7FFFFFFF, so only the cap cuts a run of zeros.
  const std::vector<uint8_t> zeros(3 * CHUNK_MAX_LEN + 10, 0);
  const ChunkRun r = run_feed(zeros, 2);
  EXPECT_EQ(r.ends, (std::vector<size_t>{65535, 131070, 196605}));
  EXPECT_EQ(r.ck.roll_hash, 0xECBB4B55u);
  EXPECT_EQ(r.ck.chunk_len, 10u);
}

TEST(ChunkerFeed, HashEqualToThresholdDoesNotEndChunk) {
  std::mt19937 rng(3);
  const auto in = random_bytes(rng, CHUNK_MIN_LEN);
  Chunker probe;
  chunker_init(probe, 100);
  for (uint8_t b : in) chunker_feed(probe, b);
  const uint32_t h = probe.roll_hash;
  ASSERT_NE(h, 0xFFFFFFFFu);

  for (const uint32_t thr : {h, h + 1}) {
    Chunker a;
    chunker_init(a, 100);
    a.chunk_threshold = thr;
    bool end = false;
    for (uint8_t x : in) end = chunker_feed(a, x);
    EXPECT_EQ(end, thr == h + 1);
  }
}

TEST(ChunkerFeed, BoundariesDependOnlyOnChunkBytes) {
  std::mt19937 rng(4);
  const auto content = random_bytes(rng, 20000);
  std::vector<size_t> reference;
  // Prefix lengths chosen so the chunk starts at different ring offsets.
  for (const size_t prefix_len : {size_t{0}, size_t{1}, size_t{77}, size_t{1000}, size_t{4099}}) {
    const auto prefix = random_bytes(rng, prefix_len);
    Chunker ck;
    chunker_init(ck, 100);
    for (uint8_t b : prefix)
      if (chunker_feed(ck, b)) chunker_end_chunk(ck);
    chunker_end_chunk(ck);
    std::vector<size_t> ends;
    for (size_t i = 0; i < content.size(); ++i)
      if (chunker_feed(ck, content[i])) {
        ends.push_back(i + 1);
        chunker_end_chunk(ck);
      }
    if (prefix_len == 0) {
      reference = ends;
      ASSERT_GT(reference.size(), 50u);
    } else {
      EXPECT_EQ(ends, reference) << "prefix " << prefix_len;
    }
  }
}

TEST(ChunkerFeed, PositionWrapHasNoEffect) {
  std::mt19937 rng(5);
  const auto in = random_bytes(rng, 3000);
  Chunker a, b;
  chunker_init(a, 50);
  chunker_init(b, 50);
  b.roll_pos = 0xFFFFFF00u;  // same low byte; ring is still all zeros
  for (size_t i = 0; i < in.size(); ++i) {
    const bool ea = chunker_feed(a, in[i]);
    ASSERT_EQ(ea, chunker_feed(b, in[i])) << i;
    ASSERT_EQ(a.roll_hash, b.roll_hash) << i;
    if (ea) {
      chunker_end_chunk(a);
      chunker_end_chunk(b);
    }
  }
  EXPECT_EQ(b.roll_pos, a.roll_pos - 256);
}

}  // namespace
}  // namespace cdedup
