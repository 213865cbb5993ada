// Lossless round trip on arbitrary bytes: decode(encode(x)) must be x, byte
// for byte, under chunk lengths, index sizes and windows drawn from the first
// input bytes (window 0 included, where no reference may be written).  The
// fast and the reference encoder must write the same stream with the same
// yields, both decoders must agree on it, and the decoder's statistics line
// must be the encoder's.  Each role keeps its instances from input to input.
// For one input in four the same plaintext also goes through a checked
// frame: both encoders write the same frame, which holds exactly the bare
// stream, and both decoders, requiring the frame, give the plaintext back.
#include <cstddef>
#include <cstdint>

#include "dedup/frame_format.h"
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

  const uint64_t h = fuzz::fnv1a(data, size);
  if (h % 4 != 0) return 0;
  static fuzz::Pool framed_refs, framed_fasts;
  fuzz::Run fenc = enc;
  fenc.settings.checked = true;
  const fuzz::Result framed = fuzz::both_paths(framed_refs.sized(params[1]), framed_fasts.sized(params[1]), plan.plain, fenc);
  // Inside the frame lies the bare stream, byte for byte.
  cdedup::FrameScanner sc;
  cdedup::frame_scan_start(sc);
  fuzz::Bytes inner;
  size_t at = 0;
  for (cdedup::FrameEvent e = cdedup::FrameEvent::More; e != cdedup::FrameEvent::Trailer;) {
    size_t taken = 0;
    e = cdedup::frame_scan(sc, framed.out.data() + at, framed.out.size() - at, taken);
    FUZZ_CHECK(e != cdedup::FrameEvent::Error && (e != cdedup::FrameEvent::More || taken != 0));
    if (e == cdedup::FrameEvent::Header) inner.assign(sc.header.settings, sc.header.settings + 4);
    if (e == cdedup::FrameEvent::Payload) inner.insert(inner.end(), framed.out.begin() + at, framed.out.begin() + at + taken);
    at += taken;
  }
  FUZZ_CHECK(at == framed.out.size());
  FUZZ_CHECK(inner == enc_f.out);
  fuzz::Run fdec = dec;
  fdec.settings.checked = true;
  fdec.settings.caller_hash = (h >> 8) % 2 == 0;
  const fuzz::Result back = fuzz::both_paths(dec_ref, dec_fast, framed.out, fdec);
  FUZZ_CHECK(back.out == plan.plain);
  FUZZ_CHECK(back.frame_ends == (fdec.settings.caller_hash ? 1u : 0u) && back.frames_matching == back.frame_ends);
  return 0;
}
