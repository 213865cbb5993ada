// Round trip with input and output handed over in ragged blocks (1 to 70000
// bytes, mostly tiny, output blocks from 1 byte) drawn from a seed in the
// first input bytes: the encoded stream must be the one a single-block run
// writes, the decoded bytes the plaintext, and under the same ragged sizes
// the fast and reference paths must yield identically on both sides.
// Buffer edges are where span-at-a-time code drops, repeats or misplaces
// bytes, and one-block runs never reach them.
#include <cstddef>
#include <cstdint>

#include "fuzz_pump.h"

namespace {

constexpr size_t SEED_BYTES = 3;

// Both paths of one mode under the same ragged sizes; returns the fast one.
fuzz::Result both_paths(const fuzz::Bytes& input, fuzz::Run run) {
  run.reference = true;
  const fuzz::Result ref = fuzz::pump(input.data(), input.size(), run);
  run.reference = false;
  fuzz::Result fast = fuzz::pump(input.data(), input.size(), run);
  fuzz::check_same(ref, fast);
  FUZZ_CHECK(fast.final_yield == CODEC_DONE);
  return fast;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint64_t seed = 0;
  for (size_t i = 0; i < SEED_BYTES && i < size; ++i) seed = seed << 8 | data[i];
  const size_t skip = size < SEED_BYTES ? size : SEED_BYTES;
  const fuzz::Plan plan = fuzz::make_plan(data + skip, size - skip);
  const fuzz::Bytes& plain = plan.plain;

  // Single blocks: all input at once, and room for all output.
  fuzz::Run one;
  one.mode = CODEC_MODE_ENCODE;
  for (int i = 0; i < 3; ++i) one.params[i] = plan.params[i];
  one.in = fuzz::BlockSizes::constant(plain.size() + 1);
  one.out = fuzz::BlockSizes::constant(2 * plain.size() + 4096);
  const fuzz::Result enc_one = fuzz::pump(plain.data(), plain.size(), one);
  FUZZ_CHECK(enc_one.final_yield == CODEC_DONE);
  one.mode = CODEC_MODE_DECODE;
  one.in = fuzz::BlockSizes::constant(enc_one.out.size() + 1);
  const fuzz::Result dec_one = fuzz::pump(enc_one.out.data(), enc_one.out.size(), one);
  FUZZ_CHECK(dec_one.final_yield == CODEC_DONE);
  FUZZ_CHECK(dec_one.out == plain);

  fuzz::Run ragged = one;
  uint64_t s = seed;
  ragged.mode = CODEC_MODE_ENCODE;
  ragged.in = fuzz::BlockSizes::ragged(fuzz::splitmix(s));
  ragged.out = fuzz::BlockSizes::ragged(fuzz::splitmix(s));
  const fuzz::Result enc = both_paths(plain, ragged);
  FUZZ_CHECK(enc.out == enc_one.out);
  FUZZ_CHECK(fuzz::stable_report(enc.report) == fuzz::stable_report(enc_one.report));

  ragged.mode = CODEC_MODE_DECODE;
  ragged.in = fuzz::BlockSizes::ragged(fuzz::splitmix(s));
  ragged.out = fuzz::BlockSizes::ragged(fuzz::splitmix(s));
  const fuzz::Result dec = both_paths(enc.out, ragged);
  FUZZ_CHECK(dec.out == plain);
  FUZZ_CHECK(dec.report == dec_one.report);
  return 0;
}
