// Chunk index: the insertion both modes share, mode u's lookup and its
// spread-out expiry sweep.
//
// Insertion could gather the run into the 32 scratch records, rotate their
// slot numbers and write them all back.  It does not need to: a lookup that
// misses has already walked exactly the run an insertion works on (it stops
// at the same empty slot, or after the same 32 slots), so that one walk also
// yields the run length and the victim.  What the rotation amounts to is then
// done in place: the entries in front of the victim each move one slot on, the
// victim goes to the empty slot that ended the run (or is dropped when the
// window is full), and the new entry takes the home slot.  That touches at
// most 32 slots once, reads the table once and never allocates.
#include "dedup/chunk_index.h"

#include <cstring>

namespace cdedup {

namespace {

// s + d modulo n, for s < n and d < n, without overflowing 32 bits.
inline uint32_t slot_add(uint32_t s, uint32_t d, uint32_t n) { return d < n - s ? s + d : d - (n - s); }

// Length field first, then byte 13, then the rest: unequal keys of a full
// window mostly part on the first test.
inline bool key_equal(const uint8_t* a, const uint8_t* b) {
  uint16_t la;
  uint16_t lb;
  std::memcpy(&la, a + 14, 2);
  std::memcpy(&lb, b + 14, 2);
  return la == lb && a[13] == b[13] && std::memcmp(a, b, 13) == 0;
}

}  // namespace

void index_make_room(ChunkIndex& ix, uint32_t home, uint32_t run, uint32_t last_expired) {
  if (run == 0) return;
  IndexSlot* const tbl = ix.htbl;
  const uint32_t n = ix.cfg_tblsize;
  const uint32_t victim = last_expired < PROBE_WINDOW ? last_expired : run - 1;
  uint32_t dst = slot_add(home, victim, n);
  // The slot just past the run: the empty one, or past a full window.
  if (run < PROBE_WINDOW) tbl[slot_add(home, run, n)] = tbl[dst];
  while (dst != home) {
    const uint32_t src = dst == 0 ? n - 1 : dst - 1;
    tbl[dst] = tbl[src];
    dst = src;
  }
}

uint32_t index_find_or_insert(ChunkIndex& ix, const uint8_t key[16], uint32_t position) {
  IndexSlot* const tbl = ix.htbl;
  const uint32_t n = ix.cfg_tblsize;
  const uint32_t home = index_home(ix, key);

  uint32_t run = 0;  // occupied slots from home up to the first empty one
  uint32_t last_expired = PROBE_WINDOW;
  uint32_t s = home;
  for (; run < PROBE_WINDOW; ++run) {
    const uint32_t tag = tbl[s].pos_tag;
    if (tag == SLOT_EMPTY) break;
    if (tag == SLOT_EXPIRED) {
      last_expired = run;
    } else if (key_equal(tbl[s].key, key)) {
      ix.found_pos = tag - 2;
      return INDEX_HIT;
    }
    if (++s == n) s = 0;
  }
  if (position == INDEX_LOOKUP_ONLY) return 0;

  // The key may point into the table, and making room may overwrite it.
  uint8_t new_key[16];
  std::memcpy(new_key, key, 16);
  index_make_room(ix, home, run, last_expired);
  tbl[home].pos_tag = position + 2;
  std::memcpy(tbl[home].key, new_key, 16);
  return 0;
}

void index_prefetch(const ChunkIndex& ix, const uint8_t* keys, size_t count, size_t stride) {
  // Two lines a key, the home slot's and the next: a quarter of the 20-byte
  // slots straddle two lines, and a run goes on into the next slots.  The
  // prefetches go out back to back because each one waits for its own
  // address translation (the table spans far more pages than the TLB holds);
  // issued together, the translations overlap instead of stalling one chunk
  // at a time.
  for (size_t i = 0; i < count; ++i, keys += stride) {
    const char* slot = reinterpret_cast<const char*>(ix.htbl + index_home(ix, keys));
    __builtin_prefetch(slot);
    __builtin_prefetch(slot + 63);
  }
}

uint64_t index_sweep_visits(const ChunkIndex& ix, uint32_t chunk_len) {
  // Most chunks need one visit; they are told apart without the division.
  const uint64_t span = uint64_t{ix.cfg_tblsize} * chunk_len, cycle = POS_LIMIT - ix.cfg_decwinsize;
  return span < cycle ? 1 : span / cycle + 1;
}

void index_sweep(ChunkIndex& ix, uint32_t position, uint32_t chunk_len) {
  IndexSlot* const tbl = ix.htbl;
  const uint32_t n = ix.cfg_tblsize;
  const uint32_t w = ix.cfg_decwinsize;
  uint32_t cur = ix.sweep_cursor;
  for (uint64_t left = index_sweep_visits(ix, chunk_len); left != 0; --left) {
    IndexSlot& slot = tbl[cur];
    if (slot.pos_tag >= 2 && pos_distance(slot.pos_tag - 2, position) >= w)
      slot.pos_tag = SLOT_EXPIRED;  // the key stays: it keeps the run contiguous
    if (++cur == n) cur = 0;
  }
  ix.sweep_cursor = cur;
}

void index_clear(ChunkIndex& ix) {
  if (ix.htbl != nullptr) std::memset(static_cast<void*>(ix.htbl), 0, ix.encmem_bytes);
  index_restart_positions(ix);
  index_set_tblsize(ix, index_tblsize(ix.encmem_bytes));
}

}  // namespace cdedup
