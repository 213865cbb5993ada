// The coroutine frame's home: a fixed arena inside the instance, so that
// starting a body never touches the heap.
#include "codec/coroutine.h"

#include <cstddef>
#include <cstring>

namespace cdedup {

namespace {

constexpr size_t FRAME_HEADER = alignof(std::max_align_t);

}  // namespace

void* codec_frame_alloc(Codec& c, size_t size) noexcept {
  if (c.frame_in_use || size > FRAME_ARENA_BYTES - FRAME_HEADER) return nullptr;
  c.frame_in_use = true;
  Codec* owner = &c;
  std::memcpy(c.frame_arena, &owner, sizeof owner);
  return c.frame_arena + FRAME_HEADER;
}

void codec_frame_free(void* frame) noexcept {
  Codec* owner;
  std::memcpy(&owner, static_cast<unsigned char*>(frame) - FRAME_HEADER, sizeof owner);
  owner->frame_in_use = false;
}

}  // namespace cdedup
