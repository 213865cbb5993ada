// The zstd stage: an encoded stream written inside a standard zstd frame
// (content checksum on, compressed on libzstd's own worker threads), and
// read back out of one.  A Sink and a Source that wrap another, so the pump
// and the codec never see it; libzstd is used here and nowhere else.
#pragma once

#include <memory>
#include <string>

#include "app/byte_stream.h"

namespace cdedup::app {

// Compresses what it is given into one zstd frame written to `inner`; close()
// ends the frame (its checksum included) and closes `inner`.  `workers` >= 1
// runs compression on that many libzstd threads, beside the caller's.
// nullptr and `err` set (EXIT_NO_CODEC) when libzstd cannot set up.
std::unique_ptr<Sink> make_zstd_sink(std::unique_ptr<Sink> inner, int level, int workers, StreamError& err);

// Hands out `inner`'s bytes unchanged, unless they begin with a zstd frame
// (or a skippable frame): then the frames' content, with each checksum
// verified.  A damaged, cut-short or failing frame, or other data after the
// frames, fails the read with EXIT_BAD_STREAM.  `name` is the input as
// messages show it.  The first four bytes are read at once, and `framed`
// tells whether they open a frame.
std::unique_ptr<Source> make_zstd_unwrap_source(std::unique_ptr<Source> inner, std::string name, bool& framed);

// Whether the first four bytes of an input open a zstd frame.
bool starts_zstd_frame(const uint8_t head[4]);

}  // namespace cdedup::app
