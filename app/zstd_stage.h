// The zstd stage: an encoded stream written inside a standard zstd frame
// (content checksum on, compressed on libzstd's own worker threads), and
// read back out of one, among checked frames.  A Sink and a Source that
// wrap another, so the pump and the codec never see it; libzstd is used
// here and nowhere else.
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

// Hands out what a decoder reads of `inner`: zstd frames unwrapped (each
// checksum verified) and checked frames as they are, in any order, one
// after another; or, when the input begins with neither, all of it as it is
// (a bare stream, or bytes the codec then refuses).  A damaged, cut-short or
// failing zstd frame, or bytes after a zstd frame that begin neither kind of
// frame, fail the read with EXIT_BAD_STREAM.  `name` is the input as
// messages show it; `zstd_seen`, if given, is set once a zstd frame begins.
std::unique_ptr<Source> make_unwrap_source(std::unique_ptr<Source> inner, std::string name, bool* zstd_seen = nullptr);

// Whether the first four bytes of an input open a zstd frame.
bool starts_zstd_frame(const uint8_t head[4]);

}  // namespace cdedup::app
