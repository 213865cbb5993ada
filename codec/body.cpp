// Chooses the body coroutine for the codec's mode and path.  Each body is a
// single coroutine (no nested frames), so one arena slot holds it.
#include "codec/coroutine.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/encoder_parallel.h"

namespace cdedup {

BodyTask codec_body(Codec& c) {
  c.input_hash = nullptr;
  if (codec_is_decoder(c)) return c.reference_path ? decoder_body_reference(c) : decoder_body(c);
  if (c.reference_path) return encoder_body_reference(c);
  if (c.mode == CODEC_MODE_ENCODE && parallel_encoder_prepare(c)) {
    // A frame's checksum of the input is taken on the pool, off the deciding thread.
    if (c.framing.side == FrameSide::Writer) c.input_hash = &c.framing.hash;
    return encoder_body_parallel(c);
  }
  return encoder_body(c);
}

}  // namespace cdedup
