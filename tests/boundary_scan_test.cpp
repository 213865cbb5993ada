// The span boundary search against chunker_feed, the byte-at-a-time definition.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <utility>
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

// Runs of one byte value, every value in turn, from a few bytes to longer
// than the longest chunk, with random bytes between some of them: the
// search skips runs whose window is not a hit, and must stop in those whose
// window is (at chunk length 1 and 2 most values are).
std::vector<uint8_t> make_runs(std::mt19937_64& rng, size_t n) {
  std::vector<uint8_t> v;
  for (unsigned value = 0; v.size() < n; value = (value + 1) % 256) {
    const size_t len = std::min<size_t>(n - v.size(), rng() % 4 == 0 ? 70000 + rng() % 1000 : rng() % 3000);
    v.insert(v.end(), len, static_cast<uint8_t>(value));
    for (size_t k = rng() % 2 == 0 ? 0 : rng() % 40; k > 0 && v.size() < n; --k) v.push_back(static_cast<uint8_t>(rng()));
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

// Every way of splitting (the dispatched one and both underlying paths,
// whichever this machine would pick) against byte feeding.
TEST(BoundaryScan, SplitMatchesByteFeedingOverRaggedSpans) {
  using Split = size_t (*)(Chunker&, const uint8_t*, size_t, uint32_t*, uint64_t*);
  const std::pair<const char*, Split> splits[] = {
      {"dispatched", chunker_split},
      {"bitmap", chunker_split_bitmap},
      {"seek",
       [](Chunker& ck, const uint8_t* p, size_t n, uint32_t* e, uint64_t*) { return chunker_split_seek(ck, p, n, e); }},
  };
  std::mt19937_64 rng(7);
  std::vector<uint64_t> bits(SPLIT_BITMAP_WORDS);
  std::vector<uint32_t> ends(SPLIT_ENDS_MAX);
  for (uint32_t chunklen : {1u, 2u, 31u, 100u, 4000u, 65535u}) {
    for (int kind = 0; kind < 3; ++kind) {
      for (size_t n : {size_t{0}, size_t{15}, size_t{63}, size_t{64}, size_t{319}, size_t{320}, size_t{1000},
                       size_t{65536}, size_t{200000}}) {
        const std::vector<uint8_t> in = make_input(rng, n, kind);
        Chunker ref;
        const std::vector<uint64_t> want = reference_ends(chunklen, in, ref);

        for (const auto& [name, split] : splits) {
          Chunker ck;
          chunker_init(ck, chunklen);
          std::vector<uint64_t> got;
          size_t at = 0;
          while (at < n) {
            const size_t step = std::min<size_t>(n - at, 1 + rng() % (rng() % 4 == 0 ? 40 : SPLIT_SPAN_MAX));
            const size_t count = split(ck, in.data() + at, step, ends.data(), bits.data());
            for (size_t k = 0; k < count; ++k) got.push_back(at + ends[k]);
            at += step;
          }
          ASSERT_EQ(got, want) << name << " chunklen " << chunklen << " kind " << kind << " n " << n;
          EXPECT_EQ(ck.roll_hash, ref.roll_hash) << name;
          EXPECT_EQ(ck.chunk_len, ref.chunk_len) << name;
          EXPECT_EQ(ck.roll_pos, ref.roll_pos) << name;
          for (uint32_t k = 1; k <= 16; ++k)
            EXPECT_EQ(ck.roll_ring[(ck.roll_pos - k) & 0xFF], ref.roll_ring[(ref.roll_pos - k) & 0xFF]) << name;
        }
      }
    }
  }
}

// A span of 1 to 15 bytes leaves a hash that mixes the bytes fed before it
// with the span's: both must come out as byte feeding has them, after any
// history (here long enough that the ring has wrapped).
TEST(BoundaryScan, ShortSpansKeepTheRollingState) {
  std::mt19937_64 rng(19);
  std::vector<uint64_t> bits(SPLIT_BITMAP_WORDS);
  std::vector<uint32_t> ends(SPLIT_ENDS_MAX);
  for (int trial = 0; trial < 200; ++trial) {
    const std::vector<uint8_t> in = make_input(rng, 300 + rng() % 40, trial % 3);
    Chunker ref, seek;
    chunker_init(ref, 100);
    chunker_init(seek, 100);
    size_t at = 0;
    while (at < in.size()) {
      const size_t step = std::min<size_t>(in.size() - at, 1 + rng() % 15);
      for (size_t i = 0; i < step; ++i)
        if (chunker_feed(ref, in[at + i])) chunker_end_chunk(ref);
      chunker_split_seek(seek, in.data() + at, step, ends.data());
      at += step;
      ASSERT_EQ(seek.roll_hash, ref.roll_hash) << "at " << at;
      ASSERT_EQ(seek.chunk_len, ref.chunk_len) << "at " << at;
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

#if defined(__x86_64__)
// Each wide filter this machine can run, not only the one dispatch picks,
// marks exactly the windows whose hash is below the threshold.
TEST(BoundaryScan, EveryWideFilterMarksExactlyTheWindowsBelowTheThreshold) {
  using Candidates = void (*)(const WindowTables&, uint32_t, const uint8_t*, size_t, size_t, uint64_t*);
  std::vector<std::pair<const char*, Candidates>> variants;
  if (boundary_candidates_avx2_available()) variants.push_back({"avx2", boundary_candidates_avx2});
  if (boundary_gfni_available()) variants.push_back({"gfni", boundary_candidates_gfni});
  if (variants.empty()) GTEST_SKIP() << "no wide filter here";
  const WindowTables& t = window_tables();
  std::mt19937_64 rng(29);
  for (uint32_t chunklen : {1u, 2u, 31u, 100u, 5000u, 65535u}) {
    const uint32_t threshold = 0xFFFFFFFFu / chunklen;
    for (int kind = 0; kind < 3; ++kind) {
      const std::vector<uint8_t> in = make_input(rng, 15 + 32 * 300, kind);
      std::vector<uint64_t> want((in.size() + 63) / 64);
      for (size_t j = 15; j < in.size(); ++j)
        if (window_hash_terms(t, in.data() + j - 15) < threshold) want[j >> 6] |= uint64_t{1} << (j & 63);
      for (const auto& [name, mark] : variants) {
        std::vector<uint64_t> got(want.size());
        mark(t, threshold, in.data(), 15, in.size(), got.data());
        EXPECT_EQ(got, want) << name << " chunklen " << chunklen << " kind " << kind;
      }
    }
  }
}
#endif

// ---------------------------------------------------------------------------
// Search from a given window on
// ---------------------------------------------------------------------------

// Bytes placed against an inaccessible page, so that reading one byte
// before or after the range the caller hands over faults in any build.
class GuardedBytes {
 public:
  GuardedBytes() {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<uint8_t*>(p);
    mprotect(base_, page_, PROT_NONE);
    mprotect(base_ + 2 * page_, page_, PROT_NONE);
  }
  ~GuardedBytes() { munmap(base_, 3 * page_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;
  // A copy of p[0, n) that starts right after a guard page, or ends right before one.
  const uint8_t* front(const uint8_t* p, size_t n) { return place(base_ + page_, p, n); }
  const uint8_t* back(const uint8_t* p, size_t n) { return place(base_ + 2 * page_ - n, p, n); }

 private:
  static const uint8_t* place(uint8_t* at, const uint8_t* p, size_t n) {
    std::memcpy(at, p, n);
    return at;
  }
  size_t page_ = 0;
  uint8_t* base_ = nullptr;
};

// hashes[j]: the chunker's hash after bytes 0..j, so for j >= 15 the hash
// of the window data[j - 15 .. j].
std::vector<uint32_t> fed_hashes(const std::vector<uint8_t>& data) {
  Chunker ck;
  chunker_init(ck, 1);
  std::vector<uint32_t> h(data.size());
  for (size_t j = 0; j < data.size(); ++j) {
    chunker_feed(ck, data[j]);
    h[j] = ck.roll_hash;
  }
  return h;
}

size_t model_find(const std::vector<uint32_t>& hashes, uint32_t threshold, size_t from, size_t to) {
  for (size_t j = from; j < to; ++j)
    if (hashes[j] < threshold) return j;
  return to;
}

// Random bytes with windows below the threshold planted by trial at the
// given ends, so that even the lowest thresholds have hits to find.
std::vector<uint8_t> planted(std::mt19937_64& rng, size_t n, uint32_t threshold, std::initializer_list<size_t> at) {
  std::vector<uint8_t> v = make_input(rng, n, 0);
  const WindowTables& t = window_tables();
  for (size_t j : at)
    while (window_hash_terms(t, v.data() + j - 15) >= threshold)
      for (size_t k = j - 15; k <= j; ++k) v[k] = static_cast<uint8_t>(rng());
  return v;
}

using Find = size_t (*)(const WindowTables&, uint32_t, const uint8_t*, size_t, size_t);

std::vector<std::pair<const char*, Find>> find_variants() {
  std::vector<std::pair<const char*, Find>> v = {{"dispatched", boundary_find}, {"portable", boundary_find_portable}};
#if defined(__x86_64__)
  if (boundary_candidates_avx2_available()) v.push_back({"avx2", boundary_find_avx2});
  if (boundary_gfni_available()) v.push_back({"gfni", boundary_find_gfni});
#endif
  return v;
}

// Every range [from, to) with from up to 96 windows in and up to 200
// windows long, so that each block and tail split of the wide filter is
// met: hits right at `from`, right before `to`, in the last partial block
// after long stretches without any, and none.  Each range is handed over as
// exactly its readable bytes, next to a guard page.
TEST(BoundaryFind, FirstHitInEveryRangeMatchesByteFeeding) {
  std::mt19937_64 rng(23);
  GuardedBytes guard;
  const WindowTables& t = window_tables();
  for (uint32_t chunklen : {1u, 2u, 100u, 1000u, 65535u}) {
    const uint32_t threshold = 0xFFFFFFFFu / chunklen;
    const std::vector<uint8_t> data = planted(rng, 400, threshold, {40, 47, 150, 151, 290, 330});
    const std::vector<uint32_t> hashes = fed_hashes(data);
    for (const auto& [name, find] : find_variants()) {
      for (size_t from = 15; from < 15 + 96; ++from) {
        for (size_t to = from; to <= from + 200 && to <= data.size(); ++to) {
          const size_t want = model_find(hashes, threshold, from, to);
          // The copy's byte 15 is data[from].
          const size_t len = to - from + 15;
          const uint8_t* lo = guard.front(data.data() + from - 15, len);
          ASSERT_EQ(find(t, threshold, lo, 15, len) - 15 + from, want)
              << name << " chunklen " << chunklen << " [" << from << ", " << to << ")";
          const uint8_t* hi = guard.back(data.data() + from - 15, len);
          ASSERT_EQ(find(t, threshold, hi, 15, len) - 15 + from, want)
              << name << " chunklen " << chunklen << " [" << from << ", " << to << ")";
        }
        // A range that is empty or backwards has nothing to find.
        ASSERT_EQ(find(t, threshold, data.data(), from, from - 1), from - 1) << name;
      }
    }
  }
}

// A range that starts inside a run of one byte value and ends in it, just
// after it or well past it, for values whose window is a hit and values
// whose window is not, next to a guard page on either side.
TEST(BoundaryFind, RangesOverRunsMatchByteFeeding) {
  std::mt19937_64 rng(37);
  GuardedBytes guard;
  const WindowTables& t = window_tables();
  for (uint32_t chunklen : {2u, 1000u}) {
    const uint32_t threshold = 0xFFFFFFFFu / chunklen;
    for (unsigned value : {0u, 1u, 0x55u, 0xFFu}) {
      std::vector<uint8_t> data(15 + 1200, static_cast<uint8_t>(value));
      for (size_t k = 15 + 900; k < data.size(); ++k) data[k] = static_cast<uint8_t>(rng());
      const std::vector<uint32_t> hashes = fed_hashes(data);
      for (size_t from : {15u, 16u, 600u}) {
        for (size_t to = from; to <= data.size(); to += 1 + to % 7) {
          const size_t want = model_find(hashes, threshold, from, to);
          const size_t len = to - from + 15;
          for (const uint8_t* p : {guard.front(data.data() + from - 15, len), guard.back(data.data() + from - 15, len)})
            ASSERT_EQ(boundary_find(t, threshold, p, 15, len) - 15 + from, want)
                << "chunklen " << chunklen << " value " << value << " [" << from << ", " << to << ")";
        }
      }
    }
  }
}

// Long ranges on the kinds of input the chunker meets, against byte
// feeding, searched chunk by chunk as the encoder does.
TEST(BoundaryFind, ChunkByChunkMatchesByteFeeding) {
  std::mt19937_64 rng(29);
  const WindowTables& t = window_tables();
  for (uint32_t chunklen : {1u, 2u, 100u, 1000u, 65535u}) {
    const uint32_t threshold = 0xFFFFFFFFu / chunklen;
    for (int kind = 0; kind < 4; ++kind) {
      const std::vector<uint8_t> in = kind < 3 ? make_input(rng, 150000, kind) : make_runs(rng, 1500000);
      Chunker ref;
      const std::vector<uint64_t> want = reference_ends(chunklen, in, ref);
      for (const auto& [name, find] : find_variants()) {
        std::vector<uint64_t> got;
        for (size_t s = 0; s + CHUNK_MIN_LEN <= in.size();) {
          const size_t cap = std::min<size_t>(s + CHUNK_MAX_LEN - 1, in.size());
          size_t j = find(t, threshold, in.data(), s + CHUNK_MIN_LEN - 1, cap);
          if (j == cap) {
            if (cap == in.size()) break;
            j = cap;  // the 65535th byte ends the chunk whatever its hash
          }
          got.push_back(j + 1);
          s = j + 1;
        }
        ASSERT_EQ(got, want) << name << " chunklen " << chunklen << " kind " << kind;
      }
    }
  }
}

// Windows that reach back before data[0] take their older bytes from
// `before`, and nothing before data[0] is read.
TEST(BoundaryFind, AfterTakesOlderBytesFromBefore) {
  std::mt19937_64 rng(31);
  GuardedBytes guard;
  const WindowTables& t = window_tables();
  for (uint32_t chunklen : {1u, 2u, 100u, 65535u}) {
    const uint32_t threshold = 0xFFFFFFFFu / chunklen;
    // The whole stream: 15 bytes before, then the span; hits planted in the
    // stitched windows and just after them.
    const std::vector<uint8_t> stream = planted(rng, 15 + 120, threshold, {15 + 3, 15 + 14, 15 + 15, 15 + 33});
    const std::vector<uint32_t> hashes = fed_hashes(stream);
    for (size_t from = 0; from < 40; ++from) {
      for (size_t to = from; to <= 120; ++to) {
        const size_t want = model_find(hashes, threshold, from + 15, to + 15) - 15;
        const uint8_t* span = guard.front(stream.data() + 15, to);
        ASSERT_EQ(boundary_find_after(t, threshold, stream.data(), span, from, to), want)
            << "chunklen " << chunklen << " [" << from << ", " << to << ")";
        span = guard.back(stream.data() + 15, to);
        ASSERT_EQ(boundary_find_after(t, threshold, stream.data(), span, from, to), want)
            << "chunklen " << chunklen << " [" << from << ", " << to << ") at a page end";
      }
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
