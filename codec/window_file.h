// The decoder's window kept in the file its output goes to.
//
// When the output is a regular file, every byte of the window is in that
// file already, or about to be: so instead of holding the window in memory,
// the decoder reads the bytes a reference repeats back from the file.  Only
// the newest bytes, those the caller may not have written yet, stay in
// memory, in a ring of a few MiB; older ones come from a few extents of the
// file read back with pread and kept while references go on using them.
//
// References mostly come in runs, read back in extents that grow along them
// (file_extents.h).  On the backup series (605 MB decoded, 534 MB of it by
// reference), 47% of what references repeat lies within 8 MiB, in the ring,
// and the rest is read back in about 23,000 reads of 415 MB in all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/file_extents.h"

namespace cdedup {

struct FileWindow {
  // What the caller said (codec_set_output_file); fd is -1 when it said nothing.
  int fd = -1;                // a descriptor of the codec's own, reading the file
  uint64_t file_offset = 0;   // where the stream's first decoded byte is written
  uint64_t lag = 0;           // bytes handed back that may not be in the file yet
  bool requested = false;     // for the next stream, which takes it up

  // The stream's state.
  bool active = false;        // the window of the stream being decoded lives in the file
  uint64_t taken = 0;         // bytes taken into the window so far
  size_t out_allowance = 0;   // output buffers are used up to this many bytes

  // The ring of the newest bytes: a power of two, with room for a chunk past
  // its end so that every put lies in one piece.
  uint8_t* ring = nullptr;
  size_t ring_bytes = 0;
  uint64_t near = 0;          // sources at most this far back are in the ring

  // The older bytes, read back at stream offsets; a failed read (its
  // `failed`, errno and offset) stops the stream.
  FileExtents far;
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
// sets `far.failed` and gives zeros.
const uint8_t* file_window_bytes(FileWindow& w, uint64_t back, size_t& k);

}  // namespace cdedup
