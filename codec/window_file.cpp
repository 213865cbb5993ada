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
constexpr size_t PAGE = 4096;
constexpr size_t EXTENT_BLOCK_BYTES = (FILE_EXTENTS + 1) * FILE_EXTENT_MAX;
// A chunk's largest length, in whole pages.
constexpr size_t PREFETCH_OVERLAP = (CHUNK_MAX_LEN + PAGE - 1) / PAGE * PAGE;
static_assert(PREFETCH_OVERLAP < FILE_EXTENT_MAX, "an extent read ahead must reach past the one before");

// What the window reads where the stream has not reached: zeros, never
// written (left writable, so that it takes no room in the binary).
alignas(64) uint8_t ZEROS[CHUNK_MAX_LEN];

size_t ring_alloc_bytes(size_t ring_bytes) { return ring_bytes + CHUNK_MAX_LEN; }

void free_ring(FileWindow& w) {
  large_block_free(w.ring, ring_alloc_bytes(w.ring_bytes));
  w.ring = nullptr;
  w.ring_bytes = 0;
}

// The extent read ahead, when it holds [o, o + k): waited for and put in
// place of e.
bool take_prefetched(FileWindow& w, uint64_t o, size_t k, FileExtent& e) {
  if (!w.prefetching || !(w.prefetch_start <= o && o + k <= w.prefetch_end)) return false;
  w.prefetching = false;
  if (!w.prefetch.wait()) return false;  // read again in place, which reports the failure
  std::swap(e.bytes, w.spare);
  e.start = w.prefetch_start;
  e.end = w.prefetch_end;
  return true;
}

// A run reads on past e: the extent after it, twice as long, is read ahead.
// The read a run makes next is for the chunk that straddles e's end, which
// starts up to a chunk's length before it; so the extent read ahead starts
// that far back too (within e), or it would hold none of the chunks a run
// asks for.  Without the overlap, 5 in 6 extents read ahead were thrown away.
void prefetch_after(FileWindow& w, const FileExtent& e) {
  if (!w.prefetch.running()) return;
  if (w.prefetching) {
    if (w.prefetch.busy()) return;
    w.prefetch.wait();
    w.prefetching = false;
  }
  const size_t len = static_cast<size_t>(e.end - e.start);
  const size_t overlap = std::min(len, PREFETCH_OVERLAP);
  const uint64_t start = e.end - overlap;
  const uint64_t end =
      std::min(e.end + std::min(FILE_EXTENT_MAX - overlap, 2 * len), w.taken - w.near);
  if (end <= e.end) return;
  w.prefetch.post(w.fd, w.spare, static_cast<size_t>(end - start), w.file_offset + start);
  w.prefetch_start = start;
  w.prefetch_end = end;
  w.prefetching = true;
}

// Bytes [o, o + k) of the stream, all of them in the file: from an extent
// that holds them, or from one read now.
const uint8_t* far_bytes(FileWindow& w, uint64_t o, size_t k) {
  FileExtent* e = &w.extents[w.last];
  if (!(e->start <= o && o + k <= e->end)) {
    e = nullptr;
    for (unsigned i = 0; i < FILE_EXTENTS && e == nullptr; ++i)
      if (w.extents[i].start <= o && o + k <= w.extents[i].end) {
        e = &w.extents[i];
        w.last = i;
      }
  }
  if (e == nullptr) {
    // A read that runs on past an extent replaces it with one twice as
    // long; any other takes the extent used longest ago, a page long.
    unsigned victim = 0;
    size_t size = FILE_EXTENT_MIN;
    bool run = false;
    for (unsigned i = 0; i < FILE_EXTENTS && !run; ++i) {
      const FileExtent& x = w.extents[i];
      if (x.end > x.start && x.start <= o && o <= x.end) {
        victim = i;
        size = std::min(FILE_EXTENT_MAX, 2 * static_cast<size_t>(x.end - x.start));
        run = true;
      } else if (x.used < w.extents[victim].used) {
        victim = i;
      }
    }
    // From the page the bytes start in (in the file's pages), never before
    // the stream, never past what is sure to be in the file.
    const uint64_t in_page = (w.file_offset + o) % PAGE;
    const uint64_t start = o > in_page ? o - in_page : 0;
    const uint64_t limit = w.taken - w.near;
    const uint64_t end = std::min(std::max(start + size, o + k), limit);
    e = &w.extents[victim];
    w.last = victim;
    if (!(run && take_prefetched(w, o, k, *e))) {
      e->start = e->end = 0;
      if (!read_back(w.fd, e->bytes, static_cast<size_t>(end - start), w.file_offset + start)) {
        if (!w.failed) {
          w.failed = true;
          w.failed_errno = errno;
          w.failed_at = start;
        }
        return ZEROS;
      }
      e->start = start;
      e->end = end;
    }
    if (run) prefetch_after(w, *e);
  }
  e->used = ++w.clock;
  return e->bytes + (o - e->start);
}

}  // namespace

bool file_window_start(FileWindow& w, uint32_t window, size_t out_capacity, bool helper) {
  w.active = false;
  w.failed = false;
  w.failed_errno = 0;
  w.failed_at = 0;
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
  if (w.extent_block == nullptr) {
    w.extent_block = static_cast<uint8_t*>(large_block_alloc(EXTENT_BLOCK_BYTES));
    if (w.extent_block == nullptr) return false;
  }
  for (unsigned i = 0; i < FILE_EXTENTS; ++i) w.extents[i] = {0, 0, 0, w.extent_block + i * FILE_EXTENT_MAX};
  w.spare = w.extent_block + FILE_EXTENTS * FILE_EXTENT_MAX;
  w.prefetching = false;
  if (helper) w.prefetch.start();
  w.last = 0;
  w.clock = 0;
  w.near = w.ring_bytes - CHUNK_MAX_LEN;
  w.active = true;
  return true;
}

void file_window_end(FileWindow& w) {
  // A read ahead may still be filling the spare buffer.
  w.prefetch.stop();
  w.prefetching = false;
  if (w.fd >= 0) close(w.fd);
  w.fd = -1;
  w.active = false;
}

void file_window_next_stream(FileWindow& w, uint64_t file_offset) {
  // A read ahead may still be filling the spare buffer for the last stream.
  if (w.prefetching) w.prefetch.wait();
  w.prefetching = false;
  w.file_offset = file_offset;
  w.requested = w.fd >= 0;
}

void file_window_release(FileWindow& w) {
  file_window_end(w);
  free_ring(w);
  large_block_free(w.extent_block, EXTENT_BLOCK_BYTES);
  w.extent_block = nullptr;
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
    return ZEROS;
  }
  const uint64_t o = w.taken - back;
  if (back <= w.near) {
    const size_t at = static_cast<size_t>(o) & (w.ring_bytes - 1);
    k = std::min(k, w.ring_bytes - at);
    return w.ring + at;
  }
  k = static_cast<size_t>(std::min<uint64_t>(k, w.taken - w.near - o));
  return far_bytes(w, o, k);
}

}  // namespace cdedup
