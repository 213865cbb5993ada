// Chunk fingerprinting throughput: the one-chunk-at-a-time fold against the
// batch variants, on batches shaped like the encoder's.  Two shapes (second
// argument): 0 = lengths 64 plus an exponential excess capped at 400 (mean
// near 170); 1 = what the chunker yields on real data, 64 plus an uncapped
// exponential excess of mean 100 with one chunk in 500 a long one of 1 to 2
// KiB (mean near 165), where per-chunk costs weigh more.  Batches of 385
// chunks cover about one 64 KiB input block; 1100 is the largest batch the
// encoder hands over.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "dedup/fingerprint.h"
#include "dedup/fingerprint_lanes.h"

namespace {

using cdedup::ChunkKey;

struct Batch {
  std::vector<uint8_t> data;
  std::vector<const uint8_t*> starts;
  std::vector<uint32_t> lens;
  std::vector<ChunkKey> keys;
  size_t bytes = 0;
};

enum Shape { CAPPED = 0, REALISTIC = 1 };

Batch make_batch(size_t count, int64_t shape) {
  std::mt19937_64 rng(12345);
  Batch b;
  if (shape == CAPPED) {
    std::exponential_distribution<double> excess(1.0 / 140.0);
    for (size_t i = 0; i < count; ++i) {
      double e;
      do e = excess(rng);
      while (e > 336.0);
      b.lens.push_back(64 + static_cast<uint32_t>(e));
    }
  } else {
    std::exponential_distribution<double> excess(1.0 / 100.0);
    for (size_t i = 0; i < count; ++i) {
      uint32_t len;
      if (rng() % 500 == 0)
        len = 1024 + static_cast<uint32_t>(rng() % 1024);
      else
        len = 64 + static_cast<uint32_t>(std::min(excess(rng), 65535.0 - 64));
      b.lens.push_back(len);
    }
  }
  for (uint32_t len : b.lens) b.bytes += len;
  b.data.resize(b.bytes);
  for (auto& x : b.data) x = static_cast<uint8_t>(rng());
  size_t off = 0;
  for (size_t i = 0; i < count; ++i) {
    b.starts.push_back(b.data.data() + off);
    off += b.lens[i];
  }
  b.keys.resize(count);
  return b;
}

void report(benchmark::State& state, const Batch& b) {
  const auto chunks = static_cast<int64_t>(b.lens.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(b.bytes));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * chunks);
  state.counters["mean_len"] = static_cast<double>(b.bytes) / static_cast<double>(chunks);
  state.counters["time_per_chunk"] =
      benchmark::Counter(static_cast<double>(chunks),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_fold_scalar(benchmark::State& state) {
  Batch b = make_batch(static_cast<size_t>(state.range(0)), state.range(1));
  cdedup::FoldBlock fb;
  cdedup::fold_reset(fb);
  for (auto _ : state) {
    for (size_t i = 0; i < b.lens.size(); ++i) {
      cdedup::fold_add_span(fb, b.starts[i], b.lens[i]);
      cdedup::fold_finish(fb, b.lens[i], b.keys[i]);
    }
    benchmark::DoNotOptimize(b.keys.data());
    benchmark::ClobberMemory();
  }
  report(state, b);
}

template <void (*Fn)(const uint8_t* const*, const uint32_t*, size_t, ChunkKey*)>
void run_batch(benchmark::State& state) {
  Batch b = make_batch(static_cast<size_t>(state.range(0)), state.range(1));
  for (auto _ : state) {
    Fn(b.starts.data(), b.lens.data(), b.lens.size(), b.keys.data());
    benchmark::DoNotOptimize(b.keys.data());
    benchmark::ClobberMemory();
  }
  report(state, b);
}

void BM_lanes_portable(benchmark::State& state) { run_batch<cdedup::fingerprint_chunks_portable>(state); }

void BM_lanes_avx2(benchmark::State& state) {
  if (!cdedup::fingerprint_chunks_avx2_available()) {
    state.SkipWithError("AVX2 not available on this CPU");
    return;
  }
  run_batch<cdedup::fingerprint_chunks_avx2>(state);
}

void BM_lanes_avx512(benchmark::State& state) {
  if (!cdedup::fingerprint_chunks_avx512_available()) {
    state.SkipWithError("AVX-512 not available on this CPU");
    return;
  }
  run_batch<cdedup::fingerprint_chunks_avx512>(state);
}

void BM_lanes_dispatched(benchmark::State& state) { run_batch<cdedup::fingerprint_chunks>(state); }

}  // namespace

BENCHMARK(BM_fold_scalar)->ArgsProduct({{385, 1100}, {CAPPED, REALISTIC}});
BENCHMARK(BM_lanes_portable)->ArgsProduct({{385, 1100}, {CAPPED, REALISTIC}});
BENCHMARK(BM_lanes_avx2)->ArgsProduct({{40, 385, 1100}, {CAPPED, REALISTIC}});
BENCHMARK(BM_lanes_avx512)->ArgsProduct({{40, 385, 1100}, {CAPPED, REALISTIC}});
BENCHMARK(BM_lanes_dispatched)->Args({385, REALISTIC});
