// The checksum of a checked frame's decoded bytes, taken on the thread that
// writes them out instead of the decoder's.  Decoding is the slow half of a
// restore and the writer mostly waits for it, so the hash costs the decoder
// nothing there (on the backup corpus it is 6% of the decoder's own time,
// 1.6% once moved).  The codec still checks each frame's size and block
// checks; this sink compares the hash of what it writes with each frame's
// checksum when the codec says the frame has ended (CODEC_FRAME_END).
#pragma once

#include <memory>

#include "app/byte_stream.h"

namespace cdedup::app {

// Passes everything to `inner`, hashing it; a frame whose bytes do not hash
// to its checksum fails with EXIT_BAD_STREAM.  `name` is the input as
// messages show it.
std::unique_ptr<Sink> make_frame_check(std::unique_ptr<Sink> inner, std::string name);

}  // namespace cdedup::app
