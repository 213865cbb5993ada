// The lossless encoder's lookups in the chunk index.  Every entry carries the
// exact stream position of its chunk (the count of bytes before it), so an
// entry is expired exactly when the chunk being looked up starts a window or
// more after it, measured at that lookup.  No sweep runs: a window near
// POS_LIMIT costs what a small one does, where the sweep it replaces had to
// visit the whole table every POS_LIMIT - W bytes.
//
// The position lives inside the 20-byte slot, so the index keeps ENCMEM / 20
// slots.  A filed key (chunk_check.h) is fingerprint bytes 0..5, the 61-bit
// keyed check and the length.  Equality needs bytes 0..3, the check and the
// length to agree anyway, and two different chunks pass the keyed check with
// probability about 2^-61 whatever their fingerprints, so bytes 4..5 decide
// nothing and hold position bits instead: a slot keeps its entry's offset
// from pos_base, bits 16..46 in pos_tag (plus 2, so that 0 and 1 still mean
// empty and expired) and bits 0..15 in key bytes 4..5, which equality skips.
// (The low bits go in the key so that a live tag is never 0 or 1.)
//
// Offsets never wrap.  Once positions reach pos_base + REBASE_SPAN (2^47
// bytes, 128 TiB), one pass over the table marks the entries a window back as
// expired, moves the base up to a window behind and every live offset down
// with it.  The pass changes no decision (an entry it expires would be found
// expired at any later lookup) and costs one visit of the table per 2^47
// bytes of stream.
#pragma once

#include <cstdint>

#include "dedup/chunk_index.h"

namespace cdedup {

// Looks a filed key up among the live entries of its window and returns the
// distance back to the equal one (1..W-1), whose entry then moves to
// `position`: the table names the newest copy of each chunk, the one a
// decoder keeps longest.  Otherwise files the key at `position` (entries a
// window or more back leave first, the last of them in the run, as
// index_make_room says) and returns INDEX_MISS.  `position` must be greater
// than at the last call since the table was cleared.
uint32_t index_find_or_file(ChunkIndex& ix, const uint8_t key[16], uint64_t position);

// The exact position of a live slot's entry (pos_tag >= 2).
uint64_t index_entry_position(const ChunkIndex& ix, const IndexSlot& slot);

// Rebases every `span` bytes (at most REBASE_SPAN) instead, from the next
// lookup on: so that tests reach rebases, and the offsets' upper bits, with
// streams of megabytes.  A span below W only makes rebases more frequent.
void index_set_rebase_span(ChunkIndex& ix, uint64_t span);

}  // namespace cdedup
