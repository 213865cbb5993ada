// Large blocks (the chunk index, the decoder window) come straight from the
// operating system: one zero-filled mapping per block, committed lazily page
// by page, so an index or window that is only partly touched costs only what
// is touched.  This is the one platform-specific file of the codec.
#pragma once

#include <cstddef>

namespace cdedup {

inline constexpr size_t LARGE_BLOCK_GRANULE = 4096;

// Size rounded up to a multiple of 4096, zero-filled; null on failure or for size 0.
void* large_block_alloc(size_t size);
// Has the kernel back [p, p + bytes) of a block with memory now, for
// writing, without changing its contents (safe while others use it); p and
// the block's start are page-aligned.  False where the system cannot.
bool large_block_populate(void* p, size_t bytes);
// Gives back a block of large_block_alloc (null allowed); `size` is the size asked for.
void large_block_free(void* block, size_t size);

}  // namespace cdedup
