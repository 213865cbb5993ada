// Lossless round trip on arbitrary bytes: decode(encode(x)) must be x, byte
// for byte, under chunk lengths, index sizes and windows drawn from the first
// input bytes (window 0 included, where no reference may be written).  The
// fast and the reference encoder must write the same stream with the same
// yields, both decoders must agree on it, and the decoder's statistics line
// must be the encoder's.  Each role keeps its instances from input to input.
#include <cstddef>
#include <cstdint>

#include "fuzz_pump.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Pool enc_refs, enc_fasts, dec_refs, dec_fasts;
  fuzz::History::get().record(data, size);
  const fuzz::Plan plan = fuzz::make_plan(data, size);
  const int32_t* params = plan.settings.params;
  fuzz::Instance& enc_ref = enc_refs.sized(params[1]);
  fuzz::Instance& enc_fast = enc_fasts.sized(params[1]);
  fuzz::Instance& dec_ref = dec_refs.sized(params[2]);
  fuzz::Instance& dec_fast = dec_fasts.sized(params[2]);

  fuzz::Run enc;
  enc.settings = plan.settings;
  enc.reinit = plan.reinit;
  const fuzz::Result enc_f = fuzz::both_paths(enc_ref, enc_fast, plan.plain, enc);
  FUZZ_CHECK(enc_f.init == 0);

  fuzz::Run dec;
  dec.settings.mode = CODEC_MODE_DECODE;
  dec.reinit = plan.reinit;
  const fuzz::Result dec_f = fuzz::both_paths(dec_ref, dec_fast, enc_f.out, dec);
  if (dec_f.out != plan.plain) {
    size_t at = 0;
    while (at < dec_f.out.size() && at < plan.plain.size() && dec_f.out[at] == plan.plain[at]) ++at;
    std::fprintf(stderr, "round trip differs at byte %zu (decoded %zu of %zu bytes; params %d %d %d)\n", at,
                 dec_f.out.size(), plan.plain.size(), int(params[0]), int(params[1]), int(params[2]));
    fuzz::fail("decode(encode(x)) == x", __FILE__, __LINE__);
  }
  FUZZ_CHECK(fuzz::stats_line(dec_f.report) == fuzz::stats_line(enc_f.report));
  return 0;
}
