// A patch's reference file (REF): the bytes that come before a stream's own
// in its window, encoded against and decoded with, never written out.
//
// REF stays on disk.  The encoder reads it once, in blocks, to file its
// chunks in the index and hash it; the decoder reads it once to check its
// size and hash before any output, then reads back only what references
// repeat, through extents as it does a window kept in its output file
// (file_extents.h).  Neither holds REF in memory, so a reference of
// gigabytes costs a patch what any window of that size costs, and applying
// one into a file costs a few MiB whatever REF's size.  (The byte-at-a-time
// decoder, the reference the fast one is checked against, loads REF into its
// window in memory: the format's definition, word for word.)
//
// Its size and XXH3-64 travel in the checked frame's header
// (docs/format.md, section 10); the frame is what a patch is written in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/file_extents.h"
#include "dedup/stream_hash.h"

struct Codec;

namespace cdedup {

// REF is read for hashing and indexing in blocks of this size.
inline constexpr size_t REFERENCE_BLOCK = size_t{1} << 20;

struct ReferenceFile {
  int fd = -1;             // a descriptor of the codec's own
  uint64_t size = 0;       // as found when the stream started
  uint64_t hash = 0;       // its XXH3-64, once `hashed`
  bool hashed = false;     // `hash` was taken in this stream
  bool active = false;     // the stream being coded is a patch against it
  uint8_t* block = nullptr;  // REFERENCE_BLOCK bytes, for the passes over it
  StreamHash scan;         // the hash of the pass under way
  FileExtents reader;      // the decoder's reads of what references repeat
};

// Takes `fd` up for the codec (a descriptor of its own); false, with the
// message set, when it is not a regular file that can be read.  fd < 0
// forgets the reference.
bool reference_take(Codec& c, int fd);
// Gives everything back.
void reference_release(Codec& c);

// An encoder's stream starts a patch: REF's size now (the file may have
// changed since it was given), which the window must hold.  False, message
// set and `failure` set to the kind, when it cannot be had or does not fit.
bool reference_open(Codec& c, uint32_t window);

// Reads REF's bytes [offset, offset + n) into buf; false, message set, when
// the file ends first or a read fails.
bool reference_read(Codec& c, uint64_t offset, uint8_t* buf, size_t n);
// The message of a read at `offset` that failed with errno (0: the file ended); false.
bool reference_read_failed(Codec& c, uint64_t offset);

// One pass over REF (the codec's), a REFERENCE_BLOCK at a time into
// `r.block`: each block hashed, then given to each(bytes, n); REF's hash set
// at the end.  False, message set, when a read fails.
template <class Each>
bool reference_pass(Codec& c, ReferenceFile& r, Each&& each) {
  stream_hash_reset(r.scan);
  for (uint64_t at = 0; at < r.size;) {
    const size_t n = r.size - at < REFERENCE_BLOCK ? static_cast<size_t>(r.size - at) : REFERENCE_BLOCK;
    if (!reference_read(c, at, r.block, n)) return false;
    stream_hash_update(r.scan, r.block, n);
    each(static_cast<const uint8_t*>(r.block), n);
    at += n;
  }
  r.hash = stream_hash_digest(r.scan);
  r.hashed = true;
  return true;
}

// Decoder: checks that REF is the one a frame names, by size and then by
// XXH3-64 (hashing all of it once a stream); false, with a message that
// names what the frame needs, when it is not or cannot be read.
bool reference_matches(Codec& c, uint64_t frame, uint64_t size, uint64_t hash);

// Decoder: REF's bytes from offset p on (p < size), at most k of them in one
// piece: k is cut to what the piece holds.  A failed read sets
// `reader.failed` and gives zeros.
inline const uint8_t* reference_bytes(ReferenceFile& r, uint64_t p, size_t& k) {
  if (k > r.size - p) k = static_cast<size_t>(r.size - p);
  return file_extents_bytes(r.reader, p, k, r.size);
}

}  // namespace cdedup
