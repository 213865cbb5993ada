// Round trip with input and output handed over in ragged blocks (1 to 70000
// bytes, mostly tiny, output blocks from 1 byte) drawn from a seed in the
// first input bytes: the encoded stream must be the one a single-block run
// writes, the decoded bytes the plaintext, and under the same ragged sizes
// the fast and reference paths must yield identically on both sides.  The
// encoder on 2, 3 or 8 threads, its work cut into segments from one byte
// up, must write the same stream and lines under ragged blocks too (its
// yields differ: it takes input in whole blocks).
// Buffer edges are where span-at-a-time code drops, repeats or misplaces
// bytes, and one-block runs never reach them.  The single-block runs go
// through the fast instances too, so each input restarts them mid-way.
#include <cstddef>
#include <cstdint>

#include "fuzz_pump.h"

namespace {

constexpr size_t SEED_BYTES = 3;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Pool enc_refs, enc_fasts, enc_threads, dec_refs, dec_fasts;
  fuzz::History::get().record(data, size);
  uint64_t seed = 0;
  for (size_t i = 0; i < SEED_BYTES && i < size; ++i) seed = seed << 8 | data[i];
  const size_t skip = size < SEED_BYTES ? size : SEED_BYTES;
  const fuzz::Plan plan = fuzz::make_plan(data + skip, size - skip);
  const fuzz::Bytes& plain = plan.plain;
  const int32_t* params = plan.settings.params;
  fuzz::Instance& enc_ref = enc_refs.sized(params[1]);
  fuzz::Instance& enc_fast = enc_fasts.sized(params[1]);
  fuzz::Instance& dec_ref = dec_refs.sized(params[2]);
  fuzz::Instance& dec_fast = dec_fasts.sized(params[2]);

  // Single blocks: all input at once, and room for all output.
  fuzz::Run one;
  one.settings = plan.settings;
  one.reinit = plan.reinit;
  one.in = fuzz::BlockSizes::constant(plain.size() + 1);
  one.out = fuzz::BlockSizes::constant(2 * plain.size() + 4096);
  const fuzz::Result enc_one = enc_fast.pump(plain.data(), plain.size(), one);
  FUZZ_CHECK(enc_one.final_yield == CODEC_DONE);
  fuzz::Run one_dec = one;
  one_dec.settings = fuzz::Settings{};
  one_dec.settings.mode = CODEC_MODE_DECODE;
  one_dec.in = fuzz::BlockSizes::constant(enc_one.out.size() + 1);
  const fuzz::Result dec_one = dec_fast.pump(enc_one.out.data(), enc_one.out.size(), one_dec);
  FUZZ_CHECK(dec_one.final_yield == CODEC_DONE);
  FUZZ_CHECK(dec_one.out == plain);

  // Ragged blocks, the fast instances now restarted with the same settings.
  uint64_t s = seed;
  fuzz::Run ragged = one;
  ragged.reinit = false;
  ragged.in = fuzz::BlockSizes::ragged(fuzz::splitmix(s));
  ragged.out = fuzz::BlockSizes::ragged(fuzz::splitmix(s));
  const fuzz::Result enc = fuzz::both_paths(enc_ref, enc_fast, plain, ragged);
  FUZZ_CHECK(enc.out == enc_one.out);
  FUZZ_CHECK(enc.report == enc_one.report);

  if (plan.threaded.threads > 1) {
    fuzz::Instance& enc_thr = enc_threads.sized(uint64_t(params[1]) << 8 | uint64_t(plan.threaded.threads));
    fuzz::Run threaded = ragged;
    threaded.settings = plan.threaded;
    const fuzz::Result thr = enc_thr.pump(plain.data(), plain.size(), threaded);
    FUZZ_CHECK(thr.final_yield == CODEC_DONE);
    FUZZ_CHECK(thr.out == enc_one.out);
    FUZZ_CHECK(thr.report == enc_one.report);
    if (!thr.init_report.empty() && !enc_one.init_report.empty())
      FUZZ_CHECK(fuzz::stable_report(thr.init_report) == fuzz::stable_report(enc_one.init_report));
  }

  ragged.settings = one_dec.settings;
  ragged.in = fuzz::BlockSizes::ragged(fuzz::splitmix(s));
  ragged.out = fuzz::BlockSizes::ragged(fuzz::splitmix(s));
  const fuzz::Result dec = fuzz::both_paths(dec_ref, dec_fast, enc.out, ragged);
  FUZZ_CHECK(dec.out == plain);
  FUZZ_CHECK(dec.report == dec_one.report);
  return 0;
}
