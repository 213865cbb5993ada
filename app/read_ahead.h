// A Source that runs another Source on a thread of its own, a few blocks
// ahead of the reader: what the inner source costs (decompressing a zstd
// frame, say) then overlaps with the codec instead of adding to it, as it
// would between two processes of a pipeline.
#pragma once

#include <memory>

#include "app/byte_stream.h"

namespace cdedup::app {

// The inner source's bytes, end and failure, in the same order, read ahead
// into `blocks` blocks of `block_bytes` and lent in place; once interrupted,
// reads fail with interrupted_read().  Destroying it stops the thread; one
// stuck in a read is left to finish on its own.
std::unique_ptr<Source> make_read_ahead(std::unique_ptr<Source> inner, size_t blocks = 4,
                                        size_t block_bytes = 256 * 1024);

}  // namespace cdedup::app
