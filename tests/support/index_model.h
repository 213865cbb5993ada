// The record-by-record insertion that the index's in-place shift
// (index_make_room) is checked against, for both modes' lookups: the run is
// gathered into hinf records, the victim is the record of greatest age (an
// expired entry's age is 0xFFFFFFFF, a live one's its distance from home; the
// later record wins a tie), the records' slot numbers are rotated and every
// record is written back.
#pragma once

#include <cstdint>
#include <cstring>

#include "dedup/chunk_index.h"

namespace cdedup::test {

// Inserts `fresh` at home slot h; `expired(slot)` tells expired entries.
template <class Expired>
void model_insert(ChunkIndex& ix, uint32_t h, const IndexSlot& fresh, Expired expired) {
  const uint32_t n = ix.cfg_tblsize;
  hinf r[PROBE_WINDOW];
  uint32_t k = 0;
  for (; k < PROBE_WINDOW; ++k) {
    const uint32_t slot = (h + k) % n;
    if (ix.htbl[slot].pos_tag == SLOT_EMPTY) break;
    std::memcpy(r[k].key, ix.htbl[slot].key, 16);
    r[k].pos_tag = ix.htbl[slot].pos_tag;
    r[k].home = h;
    r[k].slot = slot;
  }
  if (k == 0) {
    ix.htbl[h] = fresh;
    return;
  }
  uint32_t max_age = 0, v = 0;
  for (uint32_t i = 0; i < k; ++i) {
    const uint32_t age = expired(ix.htbl[r[i].slot]) ? 0xFFFFFFFFu : (r[i].slot + n - r[i].home) % n;
    if (age >= max_age) {
      max_age = age;
      v = i;
    }
  }
  const uint32_t last = r[k - 1].slot;
  for (uint32_t i = k - 1; i > v; --i) r[i].slot = r[i - 1].slot;
  r[v].slot = last;
  for (uint32_t i = 0; i < k; ++i) r[i].slot = (r[i].slot + 1) % n;
  hinf& f = k < PROBE_WINDOW ? r[k] : r[v];
  std::memcpy(f.key, fresh.key, 16);
  f.pos_tag = fresh.pos_tag;
  f.home = h;
  f.slot = h;
  const uint32_t count = k < PROBE_WINDOW ? k + 1 : k;
  for (uint32_t i = 0; i < count; ++i) {
    ix.htbl[r[i].slot].pos_tag = r[i].pos_tag;
    std::memcpy(ix.htbl[r[i].slot].key, r[i].key, 16);
  }
}

}  // namespace cdedup::test
