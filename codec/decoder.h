// The decoder bodies: the byte-at-a-time reference and the span fast path,
// with the same output, yields and failures.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/codec.h"
#include "codec/coroutine.h"

namespace cdedup {

BodyTask decoder_body_reference(Codec& c);
BodyTask decoder_body(Codec& c);

// Window index of the byte `distance` back from the write index.  For
// distances within the window the sum is taken in 64 bits (a 32-bit sum wraps
// for windows above 2 GiB); other distances, which no encoder writes, are
// reduced the way the format has always reduced them.
inline uint32_t window_source_index(uint32_t window, uint32_t write_index, uint32_t distance) {
  if (distance >= 1 && distance <= window)
    return static_cast<uint32_t>((uint64_t{write_index} + window - distance) % window);
  return (window - distance + write_index) % window;
}

// Size of the fast decoder's chunk-start notes for a window: a byte per 64.
inline size_t decwin_notes_bytes(uint32_t window) { return (size_t{window} + 63) / 64; }

// A stream starts: the last one's counts go (a stream refused before its
// header counts nothing), kept only as what the window must wipe.
void decoder_forget_counts(Codec& c);

// Reads and checks the header, gets the window and prints the parameter line.
// Returns false (message set) when the stream cannot be decoded.
bool decoder_open_stream(Codec& c, const int header[4]);

// The checks both decoder paths make on a stream's body; each returns false,
// with the message set, when the stream cannot be decoded.
// A body byte has arrived: a window the header asks for must exist.
bool decoder_window_ready(Codec& c);
// The four fetched distance bytes of an ESC_COPY (-1 for missing ones).
bool decoder_copy_distance(Codec& c, const int bytes[4], uint32_t& distance);
// A reference needs a window to copy from.
bool decoder_reference_allowed(Codec& c);
// A window kept in the output file could be read back.
bool decoder_window_intact(Codec& c);

}  // namespace cdedup
