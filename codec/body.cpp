// Chooses the body coroutine for the codec's mode and path.  Each body is a
// single coroutine (no nested frames), so one arena slot holds it.
#include "codec/coroutine.h"
#include "dedup/decoder.h"
#include "dedup/encoder.h"

namespace cdedup {

BodyTask codec_body(Codec& c) {
  if (codec_is_decoder(c)) return c.reference_path ? decoder_body_reference(c) : decoder_body(c);
  return c.reference_path ? encoder_body_reference(c) : encoder_body(c);
}

}  // namespace cdedup
