// Boundary search: the serial chunker against the whole-span bitmap and the
// search from each chunk's 64th byte.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "dedup/boundary_scan.h"
#include "dedup/chunker.h"
#include "dedup/window_tables.h"

namespace {

using namespace cdedup;

std::vector<uint8_t> random_bytes(size_t n) {
  std::vector<uint8_t> v(n);
  std::mt19937_64 rng(1);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

constexpr size_t INPUT = 16 << 20;

void BM_ChunkerFeed(benchmark::State& state) {
  const auto in = random_bytes(INPUT);
  Chunker ck;
  chunker_init(ck, 100);
  for (auto _ : state) {
    size_t chunks = 0;
    for (uint8_t b : in)
      if (chunker_feed(ck, b)) {
        ++chunks;
        chunker_end_chunk(ck);
      }
    benchmark::DoNotOptimize(chunks);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_ChunkerFeed)->Unit(benchmark::kMillisecond);

using SplitFn = size_t (*)(Chunker&, const uint8_t*, size_t, uint32_t*, uint64_t*);

void run_split(benchmark::State& state, SplitFn split) {
  const auto in = random_bytes(INPUT);
  Chunker ck;
  chunker_init(ck, static_cast<uint32_t>(state.range(0)));
  std::vector<uint64_t> bits(SPLIT_BITMAP_WORDS);
  std::vector<uint32_t> ends(SPLIT_ENDS_MAX);
  for (auto _ : state) {
    size_t chunks = 0;
    for (size_t at = 0; at < in.size(); at += SPLIT_SPAN_MAX)
      chunks += split(ck, in.data() + at, SPLIT_SPAN_MAX, ends.data(), bits.data());
    benchmark::DoNotOptimize(chunks);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

// What the encoder calls.
void BM_ChunkerSplit(benchmark::State& state) { run_split(state, chunker_split); }
BENCHMARK(BM_ChunkerSplit)->Arg(100)->Arg(1)->Arg(2)->Arg(32)->Unit(benchmark::kMillisecond);

// Each way of splitting, whatever chunker_split would pick.
void BM_SplitBitmap(benchmark::State& state) { run_split(state, chunker_split_bitmap); }
BENCHMARK(BM_SplitBitmap)->Arg(100)->Arg(1)->Arg(2)->Arg(32)->Unit(benchmark::kMillisecond);

void BM_SplitSeek(benchmark::State& state) {
  run_split(state, [](Chunker& ck, const uint8_t* p, size_t n, uint32_t* ends, uint64_t*) {
    return chunker_split_seek(ck, p, n, ends);
  });
}
BENCHMARK(BM_SplitSeek)->Arg(100)->Arg(1)->Arg(2)->Arg(32)->Unit(benchmark::kMillisecond);

// Chunk ends found with each search variant alone, over one buffer.
using FindFn = size_t (*)(const WindowTables&, uint32_t, const uint8_t*, size_t, size_t);

void run_find(benchmark::State& state, FindFn find) {
  const auto in = random_bytes(INPUT);
  const WindowTables& t = window_tables();
  const uint32_t threshold = 0xFFFFFFFFu / static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    size_t chunks = 0;
    for (size_t s = 0; s + CHUNK_MIN_LEN <= in.size(); ++chunks) {
      const size_t cap = std::min(s + CHUNK_MAX_LEN - 1, in.size());
      const size_t j = find(t, threshold, in.data(), s + CHUNK_MIN_LEN - 1, cap);
      s = j + 1;
    }
    benchmark::DoNotOptimize(chunks);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

// The portable lanes' candidate bitmap over whole spans, for comparison
// with the portable search on machines without the wide filter.
void BM_CandidatesPortable(benchmark::State& state) {
  const auto in = random_bytes(INPUT);
  Chunker ck;
  chunker_init(ck, static_cast<uint32_t>(state.range(0)));
  std::vector<uint64_t> bits(SPLIT_BITMAP_WORDS);
  const uint8_t zeros[16] = {};
  for (auto _ : state) {
    uint32_t h = 0;
    for (size_t at = 0; at < in.size(); at += SPLIT_SPAN_MAX)
      h ^= boundary_candidates_portable(ck, ck.roll_hash, zeros, in.data() + at, SPLIT_SPAN_MAX, bits.data());
    benchmark::DoNotOptimize(h);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_CandidatesPortable)->Arg(100)->Unit(benchmark::kMillisecond);

void BM_FindPortable(benchmark::State& state) { run_find(state, boundary_find_portable); }
BENCHMARK(BM_FindPortable)->Arg(100)->Unit(benchmark::kMillisecond);

#if defined(__x86_64__)
void BM_FindAvx2(benchmark::State& state) {
  if (!boundary_candidates_avx2_available()) {
    state.SkipWithError("no AVX2");
    return;
  }
  run_find(state, boundary_find_avx2);
}
BENCHMARK(BM_FindAvx2)->Arg(100)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_FindGfni(benchmark::State& state) {
  if (!boundary_gfni_available()) {
    state.SkipWithError("no GFNI");
    return;
  }
  run_find(state, boundary_find_gfni);
}
BENCHMARK(BM_FindGfni)->Arg(100)->Arg(1)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
