// Stretches of a file read back into a few buffers of the reader's own and
// kept while reads go on using them: how the decoder reads the older part of
// a window kept in its output file (window_file.h) and the reference file of
// a patch (reference_file.h).
//
// What is cheap here: references mostly come in runs (a repeated file is a
// run of continuations through its earlier copy), so an extent that a run
// reads past is replaced by a larger one further on, from a page to 256 KiB,
// and a run costs one read per 256 KiB, made ahead of it on another thread
// when there is one; a reference on its own costs one read of a page or two.
// The buffers are allocated once and used over and over, which on a virtual
// machine keeps away the first touch of fresh pages.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/read_back.h"

namespace cdedup {

inline constexpr unsigned FILE_EXTENTS = 16;
inline constexpr size_t FILE_EXTENT_MIN = 4096;
inline constexpr size_t FILE_EXTENT_MAX = size_t{256} << 10;

// Offsets [start, end) of the file, counted from the reader's base, held in `bytes`.
struct FileExtent {
  uint64_t start = 0, end = 0;
  uint64_t used = 0;  // when it last served a read, for eviction
  uint8_t* bytes = nullptr;
};

struct FileExtents {
  int fd = -1;            // not owned
  uint64_t base = 0;      // the file offset that offset 0 stands for
  uint8_t* block = nullptr;  // FILE_EXTENTS + 1 buffers of FILE_EXTENT_MAX bytes
  FileExtent extents[FILE_EXTENTS];
  unsigned last = 0;      // the extent that served the last read
  uint64_t clock = 0;

  // With a thread to spare, the extent a run will want next is read ahead.
  BackgroundRead prefetch;
  bool prefetching = false;  // posted, not yet waited for
  uint64_t prefetch_start = 0, prefetch_end = 0;
  uint8_t* spare = nullptr;  // the buffer it reads into

  // The first read that failed; reads go on giving zeros after it.
  bool failed = false;
  int failed_errno = 0;    // 0 when the file ended early
  uint64_t failed_at = 0;  // the offset it could not read
};

// Readies `x` to read `fd` from file offset `base` on, every extent empty;
// with `helper`, runs are read ahead on a thread of their own.  False when
// the buffers cannot be had.
bool file_extents_start(FileExtents& x, int fd, uint64_t base, bool helper);
// Waits for a read ahead and stops its thread; the buffers stay.
void file_extents_stop(FileExtents& x);
// Waits for a read ahead (the thread stays).
void file_extents_settle(FileExtents& x);
// Gives back the buffers as well.
void file_extents_release(FileExtents& x);

// Offsets [o, o + k) of the file, all of them below `limit` (what is sure to
// be in it): from an extent that holds them, or from one read now.  A failed
// read sets `failed` and gives zeros.
const uint8_t* file_extents_bytes(FileExtents& x, uint64_t o, size_t k, uint64_t limit);

// CHUNK_MAX_LEN zero bytes: what a window reads where no stream has been.
const uint8_t* window_zeros();

// The buffers in one block of the large-block allocator: their size.
inline constexpr size_t FILE_EXTENTS_BLOCK_BYTES = (FILE_EXTENTS + 1) * FILE_EXTENT_MAX;

}  // namespace cdedup
