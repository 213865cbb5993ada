// The extents of a file read back; see file_extents.h.
#include "codec/file_extents.h"

#include <algorithm>
#include <cerrno>

#include "dedup/chunker.h"
#include "platform/large_block.h"
#include "platform/read_back.h"

namespace cdedup {

namespace {

constexpr size_t PAGE = 4096;
// A chunk's largest length, in whole pages.
constexpr size_t PREFETCH_OVERLAP = (CHUNK_MAX_LEN + PAGE - 1) / PAGE * PAGE;
static_assert(PREFETCH_OVERLAP < FILE_EXTENT_MAX, "an extent read ahead must reach past the one before");

// Never written (left writable, so that it takes no room in the binary).
alignas(64) uint8_t ZEROS[CHUNK_MAX_LEN];

// The extent read ahead, when it holds [o, o + k): waited for and put in
// place of e.
bool take_prefetched(FileExtents& x, uint64_t o, size_t k, FileExtent& e) {
  if (!x.prefetching || !(x.prefetch_start <= o && o + k <= x.prefetch_end)) return false;
  x.prefetching = false;
  if (!x.prefetch.wait()) return false;  // read again in place, which reports the failure
  std::swap(e.bytes, x.spare);
  e.start = x.prefetch_start;
  e.end = x.prefetch_end;
  return true;
}

// A run reads on past e: the extent after it, twice as long, is read ahead.
// The read a run makes next is for the chunk that straddles e's end, which
// starts up to a chunk's length before it; so the extent read ahead starts
// that far back too (within e), or it would hold none of the chunks a run
// asks for.  Without the overlap, 5 in 6 extents read ahead were thrown away.
void prefetch_after(FileExtents& x, const FileExtent& e, uint64_t limit) {
  if (!x.prefetch.running()) return;
  if (x.prefetching) {
    if (x.prefetch.busy()) return;
    x.prefetch.wait();
    x.prefetching = false;
  }
  const size_t len = static_cast<size_t>(e.end - e.start);
  const size_t overlap = std::min(len, PREFETCH_OVERLAP);
  const uint64_t start = e.end - overlap;
  const uint64_t end = std::min(e.end + std::min(FILE_EXTENT_MAX - overlap, 2 * len), limit);
  if (end <= e.end) return;
  x.prefetch.post(x.fd, x.spare, static_cast<size_t>(end - start), x.base + start);
  x.prefetch_start = start;
  x.prefetch_end = end;
  x.prefetching = true;
}

}  // namespace

const uint8_t* window_zeros() { return ZEROS; }

bool file_extents_start(FileExtents& x, int fd, uint64_t base, bool helper) {
  file_extents_settle(x);
  x.fd = fd;
  x.base = base;
  x.failed = false;
  x.failed_errno = 0;
  x.failed_at = 0;
  if (x.block == nullptr) {
    x.block = static_cast<uint8_t*>(large_block_alloc(FILE_EXTENTS_BLOCK_BYTES));
    if (x.block == nullptr) return false;
  }
  for (unsigned i = 0; i < FILE_EXTENTS; ++i) x.extents[i] = {0, 0, 0, x.block + i * FILE_EXTENT_MAX};
  x.spare = x.block + FILE_EXTENTS * FILE_EXTENT_MAX;
  x.last = 0;
  x.clock = 0;
  if (helper) x.prefetch.start();
  return true;
}

void file_extents_settle(FileExtents& x) {
  // A read ahead may still be filling the spare buffer.
  if (x.prefetching) x.prefetch.wait();
  x.prefetching = false;
}

void file_extents_stop(FileExtents& x) {
  x.prefetch.stop();
  x.prefetching = false;
}

void file_extents_release(FileExtents& x) {
  file_extents_stop(x);
  large_block_free(x.block, FILE_EXTENTS_BLOCK_BYTES);
  x.block = nullptr;
}

const uint8_t* file_extents_bytes(FileExtents& x, uint64_t o, size_t k, uint64_t limit) {
  FileExtent* e = &x.extents[x.last];
  if (!(e->start <= o && o + k <= e->end)) {
    e = nullptr;
    for (unsigned i = 0; i < FILE_EXTENTS && e == nullptr; ++i)
      if (x.extents[i].start <= o && o + k <= x.extents[i].end) {
        e = &x.extents[i];
        x.last = i;
      }
  }
  if (e == nullptr) {
    // A read that runs on past an extent replaces it with one twice as
    // long; any other takes the extent used longest ago, a page long.
    unsigned victim = 0;
    size_t size = FILE_EXTENT_MIN;
    bool run = false;
    for (unsigned i = 0; i < FILE_EXTENTS && !run; ++i) {
      const FileExtent& y = x.extents[i];
      if (y.end > y.start && y.start <= o && o <= y.end) {
        victim = i;
        size = std::min(FILE_EXTENT_MAX, 2 * static_cast<size_t>(y.end - y.start));
        run = true;
      } else if (y.used < x.extents[victim].used) {
        victim = i;
      }
    }
    // From the page the bytes start in (in the file's pages), never before
    // offset 0, never past what is sure to be in the file.
    const uint64_t in_page = (x.base + o) % PAGE;
    const uint64_t start = o > in_page ? o - in_page : 0;
    const uint64_t end = std::min(std::max(start + size, o + k), limit);
    e = &x.extents[victim];
    x.last = victim;
    if (!(run && take_prefetched(x, o, k, *e))) {
      e->start = e->end = 0;
      if (!read_back(x.fd, e->bytes, static_cast<size_t>(end - start), x.base + start)) {
        if (!x.failed) {
          x.failed = true;
          x.failed_errno = errno;
          x.failed_at = start;
        }
        return ZEROS;
      }
      e->start = start;
      e->end = end;
    }
    if (run) prefetch_after(x, *e, limit);
  }
  e->used = ++x.clock;
  return e->bytes + (o - e->start);
}

}  // namespace cdedup
