// Whole-codec throughput in memory, fast path against the byte-at-a-time
// reference: encoding random data, and decoding a stream that is mostly
// window copies (a 4 MiB random block repeated) or all literal chunks.
#include <benchmark/benchmark.h>
#include <cdedup/cdedup.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> make_input(bool repeated) {
  std::vector<uint8_t> v(64 << 20);
  std::mt19937_64 rng(5);
  const size_t unique = repeated ? (4 << 20) : v.size();
  for (size_t i = 0; i < unique; ++i) v[i] = static_cast<uint8_t>(rng());
  for (size_t i = unique; i < v.size(); ++i) v[i] = v[i - unique];
  return v;
}

// Runs one stream through a codec in 64 KiB blocks; returns the output.
std::vector<uint8_t> run(int32_t mode, bool reference, const std::vector<uint8_t>& in) {
  static uint8_t out_block[65536];
  int32_t params[3] = {100, 256, 1024};
  Codec* c = codec_create();
  codec_set_report(c, nullptr);
  codec_set_reference_path(c, reference);
  codec_init(c, mode, params);
  codec_setbuf(c, out_block, sizeof out_block);
  std::vector<uint8_t> out;
  out.reserve(in.size() + in.size() / 8);
  size_t at = 0;
  for (;;) {
    const int32_t y = codec_run(c);
    if (y == CODEC_NEED_INPUT) {
      const size_t n = std::min<size_t>(65536, in.size() - at);
      codec_setbuf(c, const_cast<uint8_t*>(in.data() + at), static_cast<int32_t>(n));
      at += n;
      continue;
    }
    out.insert(out.end(), out_block, out_block + codec_outsize(c));
    if (y != CODEC_OUTPUT_FULL) break;
    codec_setbuf(c, out_block, sizeof out_block);
  }
  codec_finish(c);
  codec_destroy(c);
  return out;
}

void BM_Encode(benchmark::State& state) {
  const auto in = make_input(state.range(1) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(run(CODEC_MODE_ENCODE, state.range(0) != 0, in).size());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_Encode)->ArgNames({"reference", "repeated"})->Args({0, 0})->Args({1, 0})->Args({0, 1})->Args({1, 1})
    ->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_Decode(benchmark::State& state) {
  const auto in = make_input(state.range(1) != 0);
  const auto encoded = run(CODEC_MODE_ENCODE, false, in);
  for (auto _ : state) benchmark::DoNotOptimize(run(CODEC_MODE_DECODE, state.range(0) != 0, encoded).size());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_Decode)->ArgNames({"reference", "repeated"})->Args({0, 0})->Args({1, 0})->Args({0, 1})->Args({1, 1})
    ->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
