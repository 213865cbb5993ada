// Chunk index: an open-addressed table of chunk keys and stream positions in
// which a key lives within 32 slots of its home slot, kept in move-to-front
// order so that a full window drops its oldest (or an expired) entry.
//
// Two ways of telling expired entries, one per encoder mode.  Mode u keeps
// 32-bit positions that count modulo POS_LIMIT and a sweep that expires each
// entry before its position can come round again (here).  Mode e files exact
// positions and measures expiry when it looks (exact_index.h): no sweep, and
// so no cost that grows as the window nears POS_LIMIT.  Both share the table,
// the home slot and the insertion that makes room at it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dedup/fingerprint.h"

namespace cdedup {

inline constexpr uint32_t POS_LIMIT = 0xFFFF0000u;
inline constexpr uint32_t SLOT_EMPTY = 0;
inline constexpr uint32_t SLOT_EXPIRED = 1;
inline constexpr uint32_t INDEX_LOOKUP_ONLY = 0xFFFFFFFEu;
inline constexpr uint32_t PROBE_WINDOW = 32;
inline constexpr uint32_t INDEX_SLOT_BYTES = 20;

struct IndexSlot {
  uint32_t pos_tag;  // SLOT_EMPTY, SLOT_EXPIRED, or a position + 2 (mode e: see exact_index.h)
  uint8_t key[16];
};
static_assert(sizeof(IndexSlot) == INDEX_SLOT_BYTES);

// A slot as a record of the run an insertion reorders.  The insertion does
// its work in place (chunk_index.cpp); the record stays as the configuration
// line's sizeof(hinf) and as the tests' record-by-record model of insertion.
struct hinf {
  uint8_t key[16];
  uint32_t pos_tag;
  uint32_t home;
  uint32_t slot;
};
static_assert(sizeof(hinf) == 28);

// How far mode e's positions run past their base before the base moves up
// (exact_index.h): offsets from the base then fit 47 bits.
inline constexpr uint64_t REBASE_SPAN = uint64_t{1} << 47;

struct ChunkIndex {
  uint32_t cfg_tblsize;     // N, slots in htbl
  uint32_t encmem_bytes;    // bytes reserved for htbl (encmem << 20, 32-bit)
  uint32_t cfg_decwinsize;  // W, window bytes (decmem << 20, 32-bit)
  uint32_t found_pos;       // mode u: position of the entry the last hit found
  uint32_t sweep_cursor;    // mode u: next slot the expiry sweep visits
  IndexSlot* htbl;
  uint64_t home_magic;  // 2^64 / N rounded up: the home slot without a division
  // Mode e: entries hold their positions as offsets from pos_base, which
  // moves up once positions reach rebase_at.
  uint64_t pos_base = 0;
  uint64_t rebase_at = REBASE_SPAN;
  uint64_t rebase_span = REBASE_SPAN;  // at most REBASE_SPAN; tests lower it to reach a rebase cheaply
};

// Results of index_find_or_insert.
inline constexpr uint32_t INDEX_MISS = 0;
inline constexpr uint32_t INDEX_HIT = 1;

// Positions count modulo POS_LIMIT; n is at most 65535.
inline uint32_t pos_advance(uint32_t p, uint32_t n) {
  uint32_t q = p + n;
  if (q >= POS_LIMIT) q += 0x10000u;
  return q;
}

// From an earlier position p to a later q, in [1, POS_LIMIT]; p == q is a whole cycle.
inline uint32_t pos_distance(uint32_t p, uint32_t q) { return p < q ? q - p : q - p - 0x10000u; }

// Slots that encmem_bytes of table memory hold.
inline constexpr uint32_t index_tblsize(uint32_t encmem_bytes) { return encmem_bytes / INDEX_SLOT_BYTES; }

// Sets N; every change of cfg_tblsize goes through here.
inline void index_set_tblsize(ChunkIndex& ix, uint32_t n) {
  ix.cfg_tblsize = n;
  ix.home_magic = n != 0 ? ~uint64_t{0} / n + 1 : 0;
}

// k mod N by two multiplies (exact for every 32-bit k and N): the division it
// replaces is on the path of every probe, twice with the prefetch.
inline uint32_t index_home(const ChunkIndex& ix, const uint8_t* key) {
  const uint32_t k = uint32_t(key[0]) | uint32_t(key[1]) << 8 | uint32_t(key[2]) << 16 | uint32_t(key[3]) << 24;
  const uint64_t frac = ix.home_magic * k;
  return static_cast<uint32_t>((static_cast<unsigned __int128>(frac) * ix.cfg_tblsize) >> 64);
}

// Starts loading the first slots of each key's window into the cache, for
// lookups a little later.  Keys are 16 bytes apiece, `stride` bytes apart.
void index_prefetch(const ChunkIndex& ix, const uint8_t* keys, size_t count, size_t stride);

// Frees the home slot of a key for a new entry, given what its lookup found:
// `run` occupied slots from home (stopped by an empty slot, or PROBE_WINDOW),
// and the offset of the last expired entry among them (PROBE_WINDOW: none).
// That entry, or else the last of the run, is the victim: it moves to the
// empty slot past the run, or is dropped from a full window, and the entries
// in front of it move one slot on.
void index_make_room(ChunkIndex& ix, uint32_t home, uint32_t run, uint32_t last_expired);

// Mode u's lookup, with 32-bit positions.  Needs cfg_tblsize > PROBE_WINDOW,
// so a window never meets itself.  1 and found_pos set when a live equal key
// lies in the key's window; the table is then unchanged (the entry keeps the
// first copy's position, as mode u's output is defined to).  Else 0, after
// inserting the key at `position` unless that is INDEX_LOOKUP_ONLY, which
// never changes the table.
uint32_t index_find_or_insert(ChunkIndex& ix, const uint8_t key[16], uint32_t position);

// Slots one sweep after a chunk of chunk_len bytes visits: enough that the
// cursor covers the whole table while the position advances POS_LIMIT - W.
// Needs cfg_decwinsize < POS_LIMIT (any decmem << 20 is).
uint64_t index_sweep_visits(const ChunkIndex& ix, uint32_t chunk_len);

// Mode u's expiry sweep after a chunk of chunk_len bytes that ended at `position`.
void index_sweep(ChunkIndex& ix, uint32_t position, uint32_t chunk_len);

// The sweep's cursor and mode e's position base back at a stream's start.
inline void index_restart_positions(ChunkIndex& ix) {
  ix.sweep_cursor = 0;
  ix.pos_base = 0;
  ix.rebase_at = ix.rebase_span;
}

// Every slot empty, positions restarted, N recomputed from encmem_bytes.
void index_clear(ChunkIndex& ix);

}  // namespace cdedup
