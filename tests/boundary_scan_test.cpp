// The span boundary search against chunker_feed, the byte-at-a-time definition.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "dedup/boundary_scan.h"
#include "dedup/chunker.h"
#include "dedup/window_tables.h"

namespace cdedup {
namespace {

std::vector<uint8_t> make_input(std::mt19937_64& rng, size_t n, int kind) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    switch (kind) {
      case 0: v[i] = static_cast<uint8_t>(rng()); break;         // random
      case 1: v[i] = (i / 5000) % 2 ? 0 : static_cast<uint8_t>(rng()); break;  // zero runs
      default: v[i] = static_cast<uint8_t>(rng() % 3); break;    // small alphabet
    }
  }
  return v;
}

// Chunk ends (stream offsets one past the last byte) by feeding byte by byte.
std::vector<uint64_t> reference_ends(uint32_t chunklen, const std::vector<uint8_t>& in, Chunker& ck) {
  chunker_init(ck, chunklen);
  std::vector<uint64_t> ends;
  for (size_t i = 0; i < in.size(); ++i)
    if (chunker_feed(ck, in[i])) {
      ends.push_back(i + 1);
      chunker_end_chunk(ck);
    }
  return ends;
}

TEST(BoundaryScan, SplitMatchesByteFeedingOverRaggedSpans) {
  std::mt19937_64 rng(7);
  std::vector<uint64_t> bits(SPLIT_BITMAP_WORDS);
  std::vector<uint32_t> ends(SPLIT_ENDS_MAX);
  for (uint32_t chunklen : {1u, 2u, 100u, 4000u, 65535u}) {
    for (int kind = 0; kind < 3; ++kind) {
      for (size_t n : {size_t{0}, size_t{15}, size_t{63}, size_t{64}, size_t{319}, size_t{320}, size_t{1000},
                       size_t{65536}, size_t{200000}}) {
        const std::vector<uint8_t> in = make_input(rng, n, kind);
        Chunker ref;
        const std::vector<uint64_t> want = reference_ends(chunklen, in, ref);

        Chunker ck;
        chunker_init(ck, chunklen);
        std::vector<uint64_t> got;
        size_t at = 0;
        while (at < n) {
          const size_t step = std::min<size_t>(n - at, 1 + rng() % (rng() % 4 == 0 ? 40 : SPLIT_SPAN_MAX));
          const size_t count = chunker_split(ck, in.data() + at, step, ends.data(), bits.data());
          for (size_t k = 0; k < count; ++k) got.push_back(at + ends[k]);
          at += step;
        }
        ASSERT_EQ(got, want) << "chunklen " << chunklen << " kind " << kind << " n " << n;
        EXPECT_EQ(ck.roll_hash, ref.roll_hash);
        EXPECT_EQ(ck.chunk_len, ref.chunk_len);
        EXPECT_EQ(ck.roll_pos, ref.roll_pos);
        for (uint32_t k = 1; k <= 16; ++k)
          EXPECT_EQ(ck.roll_ring[(ck.roll_pos - k) & 0xFF], ref.roll_ring[(ref.roll_pos - k) & 0xFF]);
      }
    }
  }
}

TEST(BoundaryScan, ChunkEndDependsOnlyOnTheChunk) {
  std::mt19937_64 rng(11);
  std::vector<uint64_t> bits(SPLIT_BITMAP_WORDS);
  for (uint32_t chunklen : {1u, 100u, 65535u}) {
    Chunker ck;
    chunker_init(ck, chunklen);
    for (int trial = 0; trial < 60; ++trial) {
      const size_t n = trial % 10 == 0 ? 65536 : 1 + rng() % 3000;
      const std::vector<uint8_t> in = make_input(rng, n, trial % 3);
      Chunker ref;
      chunker_init(ref, chunklen);
      size_t want = 0;
      for (size_t i = 0; i < n; ++i)
        if (chunker_feed(ref, in[i])) {
          want = i + 1;
          break;
        }
      EXPECT_EQ(chunk_end_in(ck, in.data(), n, bits.data()), want) << "n " << n;
    }
  }
}

// The byte-term form of the window hash, which the wide filter and its exact
// check rest on, against the rolling hash.
TEST(BoundaryScan, WindowTermsGiveTheRollingHash) {
  std::mt19937_64 rng(13);
  Chunker ck;
  chunker_init(ck, 100);
  const WindowTables& t = window_tables();
  for (int trial = 0; trial < 2000; ++trial) {
    uint8_t w[16];
    for (auto& b : w) b = static_cast<uint8_t>(trial < 256 ? trial : rng());
    Chunker ref;
    chunker_init(ref, 100);
    for (uint8_t b : w) chunker_feed(ref, b);
    ASSERT_EQ(window_hash_terms(t, w), ref.roll_hash);
    ASSERT_EQ(window_hash(ck, w), ref.roll_hash);
  }
}

// Every variant of the candidate search marks the same bits as the portable
// lanes, for thresholds on both sides of the wide filter's limit and for any
// span length and history.
TEST(BoundaryScan, DispatchedCandidatesMatchPortable) {
  std::mt19937_64 rng(17);
  std::vector<uint64_t> want(SPLIT_BITMAP_WORDS), got(SPLIT_BITMAP_WORDS);
  for (uint32_t chunklen : {2u, 31u, 32u, 100u, 5000u, 65535u}) {
    Chunker ck;
    chunker_init(ck, chunklen);
    for (int trial = 0; trial < 40; ++trial) {
      const size_t n = trial % 8 == 0 ? SPLIT_SPAN_MAX : rng() % 3000;
      const std::vector<uint8_t> in = make_input(rng, n + 16, trial % 3);
      const uint8_t* prev = in.data();
      const uint32_t prev_hash = window_hash(ck, prev);
      std::fill(want.begin(), want.end(), ~uint64_t{0});  // stale bits must be cleared
      std::fill(got.begin(), got.end(), ~uint64_t{0});
      const uint32_t hw = boundary_candidates_portable(ck, prev_hash, prev, in.data() + 16, n, want.data());
      const uint32_t hg = boundary_candidates(ck, prev_hash, prev, in.data() + 16, n, got.data());
      ASSERT_EQ(hw, hg) << chunklen << " " << n;
      const size_t words = (n + 63) / 64;
      for (size_t w = 0; w < words; ++w) ASSERT_EQ(want[w], got[w]) << chunklen << " " << n << " word " << w;
    }
  }
}

TEST(BoundaryScan, BitmapNextFindsFirstSetBitInRange) {
  std::vector<uint64_t> bits(4, 0);
  bits[1] = uint64_t{1} << 5;  // bit 69
  bits[3] = uint64_t{1} << 63; // bit 255
  EXPECT_EQ(bitmap_next(bits.data(), 0, 256), 69u);
  EXPECT_EQ(bitmap_next(bits.data(), 69, 256), 69u);
  EXPECT_EQ(bitmap_next(bits.data(), 70, 256), 255u);
  EXPECT_EQ(bitmap_next(bits.data(), 70, 255), 255u);  // none below `to`
  EXPECT_EQ(bitmap_next(bits.data(), 0, 69), 69u);
  EXPECT_EQ(bitmap_next(bits.data(), 10, 10), 10u);
}

}  // namespace
}  // namespace cdedup
