// A Sink that writes on a thread of its own, a few blocks behind the codec:
// the time the output takes (a slow file system, a pipe into a compressor
// that is busy) then overlaps with the codec's work instead of adding to it.
// Its blocks are lent to the pump and filled in place, so nothing is copied
// on the way.
#pragma once

#include <functional>
#include <memory>

#include "app/byte_stream.h"

namespace cdedup::app {

// Writes to `inner`, in order, from `blocks` blocks of `block_bytes`.  A
// failure of the inner sink shows on the next borrow, give_back or close,
// and calls `on_failure` (if any) at once from the writing thread: a pump
// that waits for input then learns of it too.
std::unique_ptr<Sink> make_write_behind(std::unique_ptr<Sink> inner, size_t blocks, size_t block_bytes,
                                        std::function<void()> on_failure = {});

}  // namespace cdedup::app
