// Chunk index: an open-addressed table of chunk keys and stream positions in
// which a key lives within 32 slots of its home slot, kept in move-to-front
// order so that a full window drops its oldest (or an expired) entry.
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
  uint32_t pos_tag;  // SLOT_EMPTY, SLOT_EXPIRED, or stream position + 2
  uint8_t key[16];
};
static_assert(sizeof(IndexSlot) == INDEX_SLOT_BYTES);

// Scratch record of one slot while an insertion reorders a window.
struct hinf {
  uint8_t key[16];
  uint32_t pos_tag;
  uint32_t home;
  uint32_t slot;
};
static_assert(sizeof(hinf) == 28);

struct ChunkIndex {
  uint32_t cfg_tblsize;     // N, slots in htbl
  uint32_t encmem_bytes;    // bytes reserved for htbl (encmem << 20, 32-bit)
  uint32_t cfg_decwinsize;  // W, window bytes (decmem << 20, 32-bit)
  uint32_t found_pos;       // position of the entry the last hit found
  uint32_t sweep_cursor;    // next slot the expiry sweep visits
  uint32_t expired_count;   // slots expired since the last clear
  hinf records[PROBE_WINDOW];
  IndexSlot* htbl;
  uint64_t home_magic;  // 2^64 / N rounded up: the home slot without a division
};

// Results of index_find_or_insert.
inline constexpr uint32_t INDEX_MISS = 0;
inline constexpr uint32_t INDEX_HIT = 1;

// What a hit does to the entry it finds.  Keeping the first copy's position
// is the unique-chunk mode's defined behaviour; the lossless encoder moves the
// entry to the newest copy, the one its decoder holds longest, so that a chunk
// that keeps coming back stays within reach however long the stream.
enum class IndexHit { KEEPS, REFRESHES };

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

// Needs cfg_tblsize > PROBE_WINDOW, so a window never meets itself.
// 1 and found_pos set when a live equal key lies in the key's window; the
// table is then unchanged, except that with IndexHit::REFRESHES the entry
// found takes `position` (in place: no entry moves).  Else 0, after inserting
// the key at `position` unless that is INDEX_LOOKUP_ONLY, which never changes
// the table.
uint32_t index_find_or_insert(ChunkIndex& ix, const uint8_t key[16], uint32_t position,
                              IndexHit on_hit = IndexHit::KEEPS);

// Slots one sweep after a chunk of chunk_len bytes visits: enough that the
// cursor covers the whole table while the position advances POS_LIMIT - W.
// Needs cfg_decwinsize < POS_LIMIT (any decmem << 20 is).
uint64_t index_sweep_visits(const ChunkIndex& ix, uint32_t chunk_len);

// Expiry sweep after a chunk of chunk_len bytes that ended at `position`.
void index_sweep(ChunkIndex& ix, uint32_t position, uint32_t chunk_len);

// Every slot empty, cursor and count at 0, N recomputed from encmem_bytes.
void index_clear(ChunkIndex& ix);

}  // namespace cdedup
