// The frame layer's own memory: one block, had when the first stream that
// needs it starts and kept, like the window, until the instance goes.
#include "codec/frame_layer.h"

#include <cdedup/cdedup.h>

#include "codec/codec.h"
#include "platform/large_block.h"

namespace cdedup {

bool frame_layer_hold_block(Codec& c) {
  FrameLayer& f = c.framing;
  if (f.block != nullptr) return true;
  f.block = static_cast<uint8_t*>(large_block_alloc(FRAME_BLOCK_MAX));
  if (f.block == nullptr) {
    codec_set_message(c, "cannot allocate the checked frame's block (%u KiB): out of memory", FRAME_BLOCK_MAX >> 10);
    codec_stop(c, CODEC_FAIL_MEMORY);
    return false;
  }
  f.block_bytes = FRAME_BLOCK_MAX;
  return true;
}

void frame_layer_release(FrameLayer& f) {
  large_block_free(f.block, f.block_bytes);
  f.block = nullptr;
  f.block_bytes = 0;
}

}  // namespace cdedup
