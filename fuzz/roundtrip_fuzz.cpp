// Lossless round trip on arbitrary bytes: decode(encode(x)) must be x, byte
// for byte, under chunk lengths, index sizes and windows drawn from the first
// input bytes (window 0 included, where no reference may be written).  The
// fast and the reference encoder must write the same stream with the same
// yields, both decoders must agree on it, and the decoder's statistics line
// must be the encoder's.
#include <cstddef>
#include <cstdint>

#include "fuzz_pump.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Plan plan = fuzz::make_plan(data, size);

  fuzz::Run enc;
  enc.mode = CODEC_MODE_ENCODE;
  for (int i = 0; i < 3; ++i) enc.params[i] = plan.params[i];
  enc.reference = true;
  const fuzz::Result enc_ref = fuzz::pump(plan.plain.data(), plan.plain.size(), enc);
  enc.reference = false;
  const fuzz::Result enc_fast = fuzz::pump(plan.plain.data(), plan.plain.size(), enc);
  fuzz::check_same(enc_ref, enc_fast);
  FUZZ_CHECK(enc_fast.init == 0);
  FUZZ_CHECK(enc_fast.final_yield == CODEC_DONE);

  fuzz::Run dec;
  dec.mode = CODEC_MODE_DECODE;
  dec.reference = true;
  const fuzz::Result dec_ref = fuzz::pump(enc_fast.out.data(), enc_fast.out.size(), dec);
  dec.reference = false;
  const fuzz::Result dec_fast = fuzz::pump(enc_fast.out.data(), enc_fast.out.size(), dec);
  fuzz::check_same(dec_ref, dec_fast);
  FUZZ_CHECK(dec_fast.final_yield == CODEC_DONE);
  if (dec_fast.out != plan.plain) {
    size_t at = 0;
    while (at < dec_fast.out.size() && at < plan.plain.size() && dec_fast.out[at] == plan.plain[at]) ++at;
    std::fprintf(stderr, "round trip differs at byte %zu (decoded %zu of %zu bytes; params %d %d %d)\n", at,
                 dec_fast.out.size(), plan.plain.size(), int(plan.params[0]), int(plan.params[1]),
                 int(plan.params[2]));
    std::abort();
  }
  FUZZ_CHECK(fuzz::stats_line(dec_fast.report) == fuzz::stats_line(enc_fast.report));
  return 0;
}
