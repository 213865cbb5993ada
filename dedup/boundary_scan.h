// Chunk boundaries found a whole span at a time.
//
// The rolling hash at a byte is the CRC-32 of the 16 bytes ending there, a
// function of those bytes alone, so no serial chain through the span (one
// dependent table load per byte, about 300 MB/s) is needed.  Two ways use
// that.  A bitmap: independent chains cover segments of the span side by
// side, each warmed up on the 16 bytes before its segment, and mark the
// bytes whose window hashes below the threshold; chunk ends are then picked
// from it by the minimum and maximum length rules.  A search: from each
// chunk's 64th byte to its first hit, which skips the windows of a chunk's
// first 63 bytes (no window there can end it) and everything past its end,
// about a third of all windows at the default mean chunk length.  The
// search wins wherever the wide filter of dedup/x86 runs; the bitmap stays
// for the portable lanes.  chunker_feed stays the definition that all of
// this is tested against.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dedup/chunker.h"

namespace cdedup {

struct WindowTables;

// Largest span the split works on at once, and the bitmap it needs.
inline constexpr size_t SPLIT_SPAN_MAX = 65536;
inline constexpr size_t SPLIT_BITMAP_WORDS = SPLIT_SPAN_MAX / 64;
inline constexpr size_t SPLIT_ENDS_MAX = SPLIT_SPAN_MAX / CHUNK_MIN_LEN + 1;

// Sets bit j of `bits` (bits[j / 64] >> j % 64) when the window ending at
// data[j] hashes below the threshold, for j in [0, n).  `prev` holds the 16
// bytes before data[0], oldest first, and `prev_hash` their CRC-32 (the
// hash the chunker holds).  Returns the hash at data[n - 1] (prev_hash if n
// is 0).  `bits` needs ceil(n / 64) words; n is at most SPLIT_SPAN_MAX.
uint32_t boundary_candidates(const Chunker& ck, uint32_t prev_hash, const uint8_t prev[16], const uint8_t* data,
                             size_t n, uint64_t* bits);

// The variants behind boundary_candidates: the portable lanes (the reference
// for the others) and, on x86-64, a filter over 32 windows at a time, used
// for thresholds low enough that it rejects most windows: GFNI's affine
// transform where the CPU has it (dedup/x86/boundary_gfni.cpp), else AVX2
// byte shuffles (dedup/x86/boundary_avx2.cpp).  The choice is made once per
// process.
uint32_t boundary_candidates_portable(const Chunker& ck, uint32_t prev_hash, const uint8_t prev[16],
                                      const uint8_t* data, size_t n, uint64_t* bits);
bool boundary_candidates_avx2_available();
bool boundary_gfni_available();
// Mark the candidates among the windows ending at data[from, to), to - from a
// multiple of 32 and from >= 15.
void boundary_candidates_avx2(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from,
                              size_t to, uint64_t* bits);
void boundary_candidates_gfni(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from,
                              size_t to, uint64_t* bits);

// First set bit at or after `from` and before `to`, or `to` when none.
size_t bitmap_next(const uint64_t* bits, size_t from, size_t to);

// ---------------------------------------------------------------------------
// Searching forward from a chunk's 64th byte
// ---------------------------------------------------------------------------

// First j in [from, to) whose window, data[j - 15 .. j], hashes below the
// threshold; `to` when there is none.  Reads only data[from - 15 .. to).
size_t boundary_find(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from, size_t to);
// The same where windows may reach back before data[0]: `before` holds the
// 15 bytes that precede it, oldest first.  Reads only data[0 .. to) and
// those bytes (data[from - 15 .. to) when from >= 15).
size_t boundary_find_after(const WindowTables& t, uint32_t threshold, const uint8_t before[15], const uint8_t* data,
                           size_t from, size_t to);
// The variants behind boundary_find, chosen once per process: portable
// rolling chains, and the filters over 32 windows at a time (x86-64 only),
// as for boundary_candidates.
size_t boundary_find_portable(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from,
                              size_t to);
size_t boundary_find_avx2(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from, size_t to);
size_t boundary_find_gfni(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from, size_t to);

// ---------------------------------------------------------------------------
// Cutting spans into chunks
// ---------------------------------------------------------------------------

// Cuts a span into chunks, continuing the chunk the chunker is in.  Writes
// to ends[] the offset one past the last byte of each chunk that ends in the
// span and returns how many; leaves the chunker as feeding the span byte by
// byte would (chunk_len = bytes of the unfinished chunk; of the ring, the 16
// bytes the next feed can read).  n is at most SPLIT_SPAN_MAX; ends needs
// SPLIT_ENDS_MAX entries, bits SPLIT_BITMAP_WORDS words of scratch.
size_t chunker_split(Chunker& ck, const uint8_t* data, size_t n, uint32_t* ends, uint64_t* bits);

// The two ways chunker_split works, same contract: a candidate bitmap over
// the whole span, which suits the portable lanes; and a search from each
// chunk's 64th byte (boundary_find), which suits the wide filter.
size_t chunker_split_bitmap(Chunker& ck, const uint8_t* data, size_t n, uint32_t* ends, uint64_t* bits);
size_t chunker_split_seek(Chunker& ck, const uint8_t* data, size_t n, uint32_t* ends);

// Cuts a chain of chunks starting at data[from], as if a chunk began there,
// until one ends at or past `stop` or the next would not end within data[0,
// n).  Writes the end of each (offset one past its last byte, counted from
// data) and returns how many.  Reads data[from, n) only; ends needs room for
// (stop - from + 63) / 64 entries (chunks start 64 or more bytes apart), and
// offsets must fit 32 bits.
size_t cut_chain(uint32_t threshold, const uint8_t* data, size_t from, size_t stop, size_t n, uint32_t* ends);

}  // namespace cdedup
