// Anonymous private mappings are zero-filled by the kernel, which the chunk
// index relies on (a zero slot is empty).  Huge pages are asked for, not
// required: the index is probed at random, so fewer TLB misses matter.
#include "platform/large_block.h"

#include <sys/mman.h>

#include <cstdint>

namespace cdedup {

static size_t round_to_granule(size_t size) { return (size + LARGE_BLOCK_GRANULE - 1) & ~(LARGE_BLOCK_GRANULE - 1); }

void* large_block_alloc(size_t size) {
  if (size == 0 || size > SIZE_MAX - LARGE_BLOCK_GRANULE) return nullptr;
  const size_t rounded = round_to_granule(size);
  void* p = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  if (rounded >= (size_t{2} << 20)) madvise(p, rounded, MADV_HUGEPAGE);
#endif
  return p;
}

bool large_block_populate(void* p, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  return madvise(p, bytes, MADV_POPULATE_WRITE) == 0;
#else
  (void)p;
  (void)bytes;
  return false;
#endif
}

void large_block_free(void* block, size_t size) {
  if (block != nullptr) munmap(block, round_to_granule(size));
}

}  // namespace cdedup
