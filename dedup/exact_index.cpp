// Mode e's lookup, with positions kept exact inside the slot; see
// exact_index.h for the layout and the rebase.  The walk is mode u's, with
// the expiry test moved from the sweep to here, and it shares mode u's
// insertion (index_make_room).
#include "dedup/exact_index.h"

#include <array>
#include <bit>
#include <cstring>

namespace cdedup {

namespace {

// Key bytes 4..5, which hold position bits in a slot, within the key's first word.
constexpr uint64_t OFFSET_BYTES = std::bit_cast<uint64_t>(std::array<uint8_t, 8>{0, 0, 0, 0, 0xFF, 0xFF, 0, 0});

// A key as two words, the first without bytes 4..5.
struct FiledWords {
  uint64_t lo, hi;
};

inline FiledWords filed_words(const uint8_t* key) {
  FiledWords w;
  std::memcpy(&w.lo, key, 8);
  std::memcpy(&w.hi, key + 8, 8);
  w.lo &= ~OFFSET_BYTES;
  return w;
}

// The second word first: it holds the length and most of the check, so
// unequal keys of a full window part there.
inline bool filed_equal(const uint8_t* slot_key, const FiledWords& k) {
  uint64_t lo, hi;
  std::memcpy(&hi, slot_key + 8, 8);
  if (hi != k.hi) return false;
  std::memcpy(&lo, slot_key, 8);
  return (lo & ~OFFSET_BYTES) == k.lo;
}

// A live slot's offset from pos_base.
inline uint64_t offset_of(const IndexSlot& slot) {
  return uint64_t{slot.pos_tag - 2} << 16 | uint64_t{slot.key[4]} | uint64_t{slot.key[5]} << 8;
}

inline void set_offset(IndexSlot& slot, uint64_t offset) {
  slot.pos_tag = static_cast<uint32_t>(offset >> 16) + 2;
  slot.key[4] = static_cast<uint8_t>(offset);
  slot.key[5] = static_cast<uint8_t>(offset >> 8);
}

// Moves pos_base up to a window before `position` (not below where it was):
// entries further back are expired, every live one lies after the new base.
void rebase(ChunkIndex& ix, uint64_t position) {
  const uint64_t w = ix.cfg_decwinsize;
  uint64_t base = position > w ? position - w : 0;
  if (base < ix.pos_base) base = ix.pos_base;
  const uint64_t now = position - ix.pos_base, shift = base - ix.pos_base;
  IndexSlot* const tbl = ix.htbl;
  for (uint32_t s = 0; s < ix.cfg_tblsize; ++s) {
    IndexSlot& slot = tbl[s];
    if (slot.pos_tag < 2) continue;
    const uint64_t offset = offset_of(slot);
    if (now - offset >= w)
      slot.pos_tag = SLOT_EXPIRED;  // the key stays: it keeps the run contiguous
    else
      set_offset(slot, offset - shift);
  }
  ix.pos_base = base;
  ix.rebase_at = base + ix.rebase_span;
}

}  // namespace

uint32_t index_find_or_file(ChunkIndex& ix, const uint8_t key[16], uint64_t position) {
  if (position >= ix.rebase_at) [[unlikely]]
    rebase(ix, position);
  IndexSlot* const tbl = ix.htbl;
  const uint32_t n = ix.cfg_tblsize;
  const uint64_t now = position - ix.pos_base;
  const uint64_t w = ix.cfg_decwinsize;
  const uint32_t home = index_home(ix, key);
  const FiledWords probe = filed_words(key);

  uint32_t run = 0;  // occupied slots from home up to the first empty one
  uint32_t last_expired = PROBE_WINDOW;
  uint32_t s = home;
  for (; run < PROBE_WINDOW; ++run) {
    IndexSlot& slot = tbl[s];
    const uint32_t tag = slot.pos_tag;
    if (tag == SLOT_EMPTY) break;
    const uint64_t age = now - offset_of(slot);  // meaningless for SLOT_EXPIRED, not read then
    if (tag == SLOT_EXPIRED || age >= w) {
      last_expired = run;
    } else if (filed_equal(slot.key, probe)) {
      set_offset(slot, now);
      return static_cast<uint32_t>(age);
    }
    if (++s == n) s = 0;
  }

  // The key may point into the table, and making room may overwrite it.
  uint8_t new_key[16];
  std::memcpy(new_key, key, 16);
  index_make_room(ix, home, run, last_expired);
  IndexSlot& fresh = tbl[home];
  std::memcpy(fresh.key, new_key, 16);
  set_offset(fresh, now);
  return INDEX_MISS;
}

uint64_t index_entry_position(const ChunkIndex& ix, const IndexSlot& slot) { return ix.pos_base + offset_of(slot); }

void index_set_rebase_span(ChunkIndex& ix, uint64_t span) {
  ix.rebase_span = span == 0 || span > REBASE_SPAN ? REBASE_SPAN : span;
  ix.rebase_at = ix.pos_base + ix.rebase_span;
}

}  // namespace cdedup
