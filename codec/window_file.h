// The decoder's window kept in the file its output goes to.
//
// When the output is a regular file, every byte of the window is in that
// file already, or about to be: so instead of holding the window in memory,
// the decoder reads the bytes a reference repeats back from the file.  Only
// the newest bytes, those the caller may not have written yet, stay in
// memory, in a ring of a few MiB; older ones come from a few extents of the
// file read back with pread and kept while references go on using them.
//
// What is cheap here: references mostly come in runs (a repeated file is a
// run of continuations through its earlier copy), so an extent that a run
// reads past is replaced by a larger one further on, from a page to 256 KiB,
// and a run costs one read per 256 KiB, made ahead of it on another thread
// when there is one; a reference on its own costs one read of a page or
// two.  On the backup series (605 MB decoded, 534 MB of it by reference),
// 47% of what references repeat lies within 8 MiB, in the ring, and the
// rest is read back in about 23,000 reads of 415 MB in all.  Everything
// lives in memory allocated once and used over and over, which on a virtual
// machine keeps away the first touch of fresh pages, the cost of a window
// in memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/read_back.h"

namespace cdedup {

inline constexpr unsigned FILE_EXTENTS = 16;
inline constexpr size_t FILE_EXTENT_MIN = 4096;
inline constexpr size_t FILE_EXTENT_MAX = size_t{256} << 10;

// Stream offsets [start, end) of the file held in `bytes`.
struct FileExtent {
  uint64_t start = 0, end = 0;
  uint64_t used = 0;  // when it last served a read, for eviction
  uint8_t* bytes = nullptr;
};

struct FileWindow {
  // What the caller said (codec_set_output_file); fd is -1 when it said nothing.
  int fd = -1;                // a descriptor of the codec's own, reading the file
  uint64_t file_offset = 0;   // where the stream's first decoded byte is written
  uint64_t lag = 0;           // bytes handed back that may not be in the file yet
  bool requested = false;     // for the next stream, which takes it up

  // The stream's state.
  bool active = false;        // the window of the stream being decoded lives in the file
  bool failed = false;        // a read back failed; the stream stops
  int failed_errno = 0;       // its errno, 0 when the file ended early
  uint64_t failed_at = 0;     // the stream offset it could not read
  uint64_t taken = 0;         // bytes taken into the window so far
  size_t out_allowance = 0;   // output buffers are used up to this many bytes

  // The ring of the newest bytes: a power of two, with room for a chunk past
  // its end so that every put lies in one piece.
  uint8_t* ring = nullptr;
  size_t ring_bytes = 0;
  uint64_t near = 0;          // sources at most this far back are in the ring

  uint8_t* extent_block = nullptr;  // FILE_EXTENTS + 1 buffers of FILE_EXTENT_MAX bytes
  FileExtent extents[FILE_EXTENTS];
  unsigned last = 0;          // the extent that served the last read
  uint64_t clock = 0;

  // With a thread to spare, the extent a run will want next is read ahead.
  BackgroundRead prefetch;
  bool prefetching = false;   // posted, not yet waited for
  uint64_t prefetch_start = 0, prefetch_end = 0;
  uint8_t* spare = nullptr;   // the buffer it reads into
};

// Readies `w` for a stream with this window, the caller's output buffer
// holding `out_capacity` bytes now; with `helper`, runs are read ahead on a
// thread of their own.  False (nothing held) when the window is not worth
// it, that is no larger than the ring would be, or memory cannot be had:
// the window then stays in memory.
bool file_window_start(FileWindow& w, uint32_t window, size_t out_capacity, bool helper);

// The stream ends or is given up: the descriptor is closed and the next
// stream keeps its window in memory unless the caller names a file again.
// The buffers stay for that stream.
void file_window_end(FileWindow& w);

// The next of several streams joined in one output (checked frames one
// after another) starts at `file_offset` in the same file: it takes up the
// file as the last one did, when file_window_start is called for it.
void file_window_next_stream(FileWindow& w, uint64_t file_offset);

// Gives back the buffers as well.
void file_window_release(FileWindow& w);

// Takes n decoded bytes (n at most 65535) in at the window's end; returns
// where the ring holds them in one piece, valid until the next put.
const uint8_t* file_window_put(FileWindow& w, const uint8_t* p, size_t n);

// The bytes that lie `back` bytes behind the window's end (back at least
// 1), at most k of them in one piece: k is cut to what the piece holds.
// Bytes from before the stream's start read as zeros.  A failed read back
// sets `failed` and gives zeros.
const uint8_t* file_window_bytes(FileWindow& w, uint64_t back, size_t& k);

}  // namespace cdedup
