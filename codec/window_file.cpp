// The ring and the extents of a window kept in the output file; see
// window_file.h.
#include "codec/window_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "dedup/chunker.h"
#include "platform/copy.h"
#include "platform/large_block.h"
#include "platform/read_back.h"

namespace cdedup {

namespace {

// Output buffers are allowed at least this much, whatever the first one held.
constexpr size_t OUT_ALLOWANCE_MIN = size_t{64} << 10;

size_t ring_alloc_bytes(size_t ring_bytes) { return ring_bytes + CHUNK_MAX_LEN; }

void free_ring(FileWindow& w) {
  large_block_free(w.ring, ring_alloc_bytes(w.ring_bytes));
  w.ring = nullptr;
  w.ring_bytes = 0;
}

}  // namespace

bool file_window_start(FileWindow& w, uint32_t window, size_t out_capacity, bool helper) {
  w.active = false;
  w.far.failed = false;
  w.taken = 0;
  const bool asked = w.requested;
  w.requested = false;
  if (!asked || w.fd < 0) return false;
  w.out_allowance = std::max(out_capacity, OUT_ALLOWANCE_MIN);
  // Sources nearer than this may not be in the file yet: the caller's lag,
  // an output buffer not handed back, and the chunk taken in but not output.
  const uint64_t near_min = w.lag + w.out_allowance + CHUNK_MAX_LEN + 64;
  uint64_t ring = 1;
  while (ring < near_min + CHUNK_MAX_LEN && ring < window) ring <<= 1;
  if (ring >= window) return false;
  if (w.ring != nullptr && w.ring_bytes != ring) free_ring(w);
  if (w.ring == nullptr) {
    w.ring = static_cast<uint8_t*>(large_block_alloc(ring_alloc_bytes(static_cast<size_t>(ring))));
    if (w.ring == nullptr) return false;
    w.ring_bytes = static_cast<size_t>(ring);
    large_block_populate(w.ring, ring_alloc_bytes(w.ring_bytes));
  }
  if (!file_extents_start(w.far, w.fd, w.file_offset, helper)) return false;
  w.near = w.ring_bytes - CHUNK_MAX_LEN;
  w.active = true;
  return true;
}

void file_window_end(FileWindow& w) {
  file_extents_stop(w.far);
  if (w.fd >= 0) close(w.fd);
  w.fd = -1;
  w.active = false;
}

void file_window_next_stream(FileWindow& w, uint64_t file_offset) {
  // A read ahead may still be filling a buffer for the last stream.
  file_extents_settle(w.far);
  w.file_offset = file_offset;
  w.requested = w.fd >= 0;
}

void file_window_release(FileWindow& w) {
  file_window_end(w);
  free_ring(w);
  file_extents_release(w.far);
}

const uint8_t* file_window_put(FileWindow& w, const uint8_t* p, size_t n) {
  const size_t at = static_cast<size_t>(w.taken) & (w.ring_bytes - 1);
  copy_bytes(w.ring + at, p, n);
  // What ran past the ring's end belongs at its start.
  if (at + n > w.ring_bytes) copy_bytes(w.ring, w.ring + w.ring_bytes, at + n - w.ring_bytes);
  w.taken += n;
  return w.ring + at;
}

const uint8_t* file_window_bytes(FileWindow& w, uint64_t back, size_t& k) {
  if (back > w.taken) {
    k = static_cast<size_t>(std::min<uint64_t>({k, back - w.taken, CHUNK_MAX_LEN}));
    return window_zeros();
  }
  const uint64_t o = w.taken - back;
  if (back <= w.near) {
    const size_t at = static_cast<size_t>(o) & (w.ring_bytes - 1);
    k = std::min(k, w.ring_bytes - at);
    return w.ring + at;
  }
  k = static_cast<size_t>(std::min<uint64_t>(k, w.taken - w.near - o));
  return file_extents_bytes(w.far, o, k, w.taken - w.near);
}

}  // namespace cdedup
