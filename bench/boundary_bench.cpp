// Boundary search: the serial chunker against the lane-parallel split.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "dedup/boundary_scan.h"
#include "dedup/chunker.h"

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

void BM_ChunkerSplit(benchmark::State& state) {
  const auto in = random_bytes(INPUT);
  Chunker ck;
  chunker_init(ck, static_cast<uint32_t>(state.range(0)));
  std::vector<uint64_t> bits(SPLIT_BITMAP_WORDS);
  std::vector<uint32_t> ends(SPLIT_ENDS_MAX);
  for (auto _ : state) {
    size_t chunks = 0;
    for (size_t at = 0; at < in.size(); at += SPLIT_SPAN_MAX)
      chunks += chunker_split(ck, in.data() + at, SPLIT_SPAN_MAX, ends.data(), bits.data());
    benchmark::DoNotOptimize(chunks);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_ChunkerSplit)->Arg(100)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
