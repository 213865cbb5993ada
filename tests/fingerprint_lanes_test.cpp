// Batch fingerprinting: every variant against the one-chunk fold, on lengths
// where the fill arithmetic can slip (0, around multiples of 63, 65535), on
// batches that leave lanes idle or mix long and short chunks, and on chunks
// fenced by unreadable pages so a read outside a chunk faults.
#include "dedup/fingerprint_lanes.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dedup/fingerprint.h"
#include "support/codec_driver.h"

namespace cdedup {
namespace {

using BatchFn = void (*)(const uint8_t* const*, const uint32_t*, size_t, ChunkKey*);

struct Variant {
  const char* name;
  BatchFn fn;
  bool (*available)();
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

bool always() { return true; }

using test::hex;

ChunkKey fold_key(const uint8_t* p, uint32_t len) {
  FoldBlock fb;
  fold_reset(fb);
  fold_add_span(fb, p, len);
  ChunkKey k;
  fold_finish(fb, len, k);
  return k;
}

std::vector<uint8_t> random_bytes(std::mt19937_64& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

class FingerprintLanes : public ::testing::TestWithParam<Variant> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << GetParam().name << " not available on this CPU";
  }

  // Runs the variant on the chunks as one batch and compares every key with
  // the fold's; the key slot past the batch must stay untouched.
  void expect_batch(const std::vector<const uint8_t*>& starts, const std::vector<uint32_t>& lens) {
    const size_t n = lens.size();
    std::vector<ChunkKey> keys(n + 1);
    std::memset(keys.data(), 0xA5, keys.size() * sizeof(ChunkKey));
    GetParam().fn(starts.data(), lens.data(), n, keys.data());
    for (size_t i = 0; i < n; ++i) {
      const ChunkKey want = fold_key(starts[i], lens[i]);
      ASSERT_EQ(hex(keys[i].bytes, 16), hex(want.bytes, 16)) << "chunk " << i << " of " << n << ", length " << lens[i];
    }
    for (uint8_t b : keys[n].bytes) ASSERT_EQ(b, 0xA5) << "key written past the batch";
  }

  void expect_batch(const std::vector<std::vector<uint8_t>>& chunks) {
    std::vector<const uint8_t*> starts;
    std::vector<uint32_t> lens;
    for (const auto& c : chunks) {
      starts.push_back(c.data());
      lens.push_back(static_cast<uint32_t>(c.size()));
    }
    expect_batch(starts, lens);
  }
};

// The worked keys are the only values here not derived from the fold itself.
TEST_P(FingerprintLanes, WorkedKeys) {
  std::vector<uint8_t> abc = {0x61, 0x62, 0x63}, zeros63(63, 0), zeros64(64, 0), ramp(64);
  for (int i = 0; i < 64; ++i) ramp[i] = static_cast<uint8_t>(i);
  const std::vector<const uint8_t*> starts = {abc.data(), nullptr, zeros63.data(), zeros64.data(), ramp.data()};
  const std::vector<uint32_t> lens = {3, 0, 63, 64, 64};
  ChunkKey keys[5];
  GetParam().fn(starts.data(), lens.data(), 5, keys);
  EXPECT_EQ(hex(keys[0].bytes, 16), "a298ffde27c06573a815f75c8a410300");
  EXPECT_EQ(hex(keys[1].bytes, 16), "ac1d1f03d08ea56eb767ab1f91770000");
  EXPECT_EQ(hex(keys[2].bytes, 16), "1b7437ae395644d540e5185ece913f00");
  EXPECT_EQ(hex(keys[3].bytes, 16), "f524e3b30bb4613de2db4f76d7434000");
  EXPECT_EQ(hex(keys[4].bytes, 16), "6184c1c3bc92568527d05bd6d61c4000");
}

TEST_P(FingerprintLanes, EveryShortLengthAloneAndTogether) {
  std::mt19937_64 rng(1);
  std::vector<std::vector<uint8_t>> all;
  for (size_t len = 0; len <= 200; ++len) {
    all.push_back(random_bytes(rng, len));
    expect_batch({all.back()});
  }
  expect_batch(all);
}

TEST_P(FingerprintLanes, LengthsAroundFillMultiplesAndTheLargest) {
  std::mt19937_64 rng(2);
  std::vector<std::vector<uint8_t>> chunks;
  for (uint32_t k = 1; k <= 12; ++k)
    for (uint32_t len : {63 * k - 1, 63 * k, 63 * k + 1}) chunks.push_back(random_bytes(rng, len));
  for (uint32_t len : {65535u, 65534u, 63u * 1040, 63u * 1040 + 1, 63u * 1040 - 1}) chunks.push_back(random_bytes(rng, len));
  expect_batch(chunks);
  // Long chunks at the start keep some lanes busy while the others cycle.
  std::vector<std::vector<uint8_t>> reversed(chunks.rbegin(), chunks.rend());
  expect_batch(reversed);
}

// Same content in every chunk but one byte: a lane whose block is not cleared
// between chunks, or whose fills are taken from a neighbour, shows up here.
TEST_P(FingerprintLanes, NeighbouringChunksDoNotLeak) {
  std::mt19937_64 rng(3);
  const std::vector<uint8_t> base = random_bytes(rng, 300);
  std::vector<std::vector<uint8_t>> chunks;
  for (size_t i = 0; i < 40; ++i) {
    std::vector<uint8_t> c(base.begin(), base.begin() + static_cast<long>(64 + (i * 37) % 236));
    c[i % c.size()] ^= 0x80;
    chunks.push_back(c);
  }
  expect_batch(chunks);
}

TEST_P(FingerprintLanes, RandomBatchesOfMixedLengths) {
  std::mt19937_64 rng(4);
  std::vector<size_t> counts;
  for (size_t n = 0; n <= 33; ++n) counts.push_back(n);  // fewer, as many and a few more than the lanes
  for (int r = 0; r < 12; ++r) counts.push_back(1 + rng() % 1100);
  counts.push_back(1100);
  for (size_t count : counts) {
    std::vector<std::vector<uint8_t>> chunks;
    for (size_t i = 0; i < count; ++i) {
      const uint64_t pick = rng() % 100;
      size_t len;
      if (pick < 80)
        len = 64 + rng() % 337;
      else if (pick < 95)
        len = rng() % 64;
      else if (pick < 99)
        len = rng() % 4096;
      else
        len = rng() % 65536;
      chunks.push_back(random_bytes(rng, len));
    }
    SCOPED_TRACE("batch of " + std::to_string(count));
    expect_batch(chunks);
    if (HasFatalFailure()) return;
  }
}

// Chunks of one length finish in the same round in every lane, and with
// 1 to 40 of them the list runs out in that round too: a lane must still get
// its last mix and its key although it has nothing left to take.
TEST_P(FingerprintLanes, LanesFinishingInTheSameRound) {
  std::mt19937_64 rng(6);
  for (uint32_t len : {0u, 1u, 62u, 63u, 64u, 126u, 127u, 189u}) {
    for (size_t count = 1; count <= 40; ++count) {
      std::vector<std::vector<uint8_t>> chunks;
      for (size_t i = 0; i < count; ++i) chunks.push_back(random_bytes(rng, len));
      SCOPED_TRACE(std::to_string(count) + " chunks of " + std::to_string(len));
      expect_batch(chunks);
      if (HasFatalFailure()) return;
    }
  }
}

// Each chunk sits against an inaccessible page, once ending at it and once
// starting right after one: any read outside the chunk is a fault.
TEST_P(FingerprintLanes, ReadsStayInsideEachChunk) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::vector<uint32_t> lens;
  for (uint32_t len = 0; len <= 200; ++len) lens.push_back(len);
  for (uint32_t len : {252u, 253u, 4095u, 4096u, 4097u, 65535u}) lens.push_back(len);

  for (bool at_end : {true, false}) {
    SCOPED_TRACE(at_end ? "chunks end at a guard page" : "chunks start after a guard page");
    // Per chunk: guard, data pages, guard.
    std::vector<size_t> first_page;
    size_t pages = 1;
    for (uint32_t len : lens) {
      first_page.push_back(pages);
      pages += (len + page - 1) / page + 1;
    }
    void* map = mmap(nullptr, pages * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    auto* base = static_cast<uint8_t*>(map);
    std::mt19937_64 rng(5);
    std::vector<const uint8_t*> starts;
    for (size_t i = 0; i < lens.size(); ++i) {
      const size_t data_pages = (lens[i] + page - 1) / page;
      uint8_t* region = base + first_page[i] * page;
      if (data_pages > 0) {
        ASSERT_EQ(mprotect(region, data_pages * page, PROT_READ | PROT_WRITE), 0);
      }
      uint8_t* p = at_end ? region + data_pages * page - lens[i] : region;
      for (uint32_t k = 0; k < lens[i]; ++k) p[k] = static_cast<uint8_t>(rng());
      starts.push_back(p);
    }
    expect_batch(starts, lens);
    munmap(map, pages * page);
  }
}

TEST_P(FingerprintLanes, EmptyBatchWritesNothing) {
  ChunkKey key;
  std::memset(&key, 0x5A, sizeof key);
  GetParam().fn(nullptr, nullptr, 0, &key);
  for (uint8_t b : key.bytes) EXPECT_EQ(b, 0x5A);
}

INSTANTIATE_TEST_SUITE_P(Variants, FingerprintLanes,
                         ::testing::Values(Variant{"portable", fingerprint_chunks_portable, always},
                                           Variant{"avx2", fingerprint_chunks_avx2, fingerprint_chunks_avx2_available},
                                           Variant{"avx512", fingerprint_chunks_avx512,
                                                   fingerprint_chunks_avx512_available},
                                           Variant{"dispatched", fingerprint_chunks, always}),
                         [](const ::testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace cdedup
