// Lane-parallel boundary bitmap and search; see boundary_scan.h for why.
//
// Six lanes keep enough table loads in flight to cover the load-to-use
// latency of each chain (measured against 4, 8 and 10 lanes, and against
// reading 8 bytes at a time into registers, which spills at this many lanes;
// an AVX2 version with gathered table loads measured slower still on this
// machine, whose gathers are slow).
// Candidates are rare at the usual thresholds (one byte in cfg_chunklen), so
// a predictable branch records them; thresholds that make most bytes
// candidates are cheap to cut anyway.
// The chunker's state after a span is rebuilt from the span's last 16 bytes
// (and the ring for a shorter span) rather than carried through the search,
// which no longer visits every byte.
#include "dedup/boundary_scan.h"

#include "dedup/window_tables.h"
#include "platform/cpu_features.h"

#include <algorithm>
#include <cstring>

namespace cdedup {

namespace {

constexpr size_t LANES = 6;

// The top-byte filter pays while few windows pass it: up to one in 28.
constexpr uint32_t FILTER_MAX_THRESHOLD = 0x08000000;

// ---------------------------------------------------------------------------
// Runs of one byte value
// ---------------------------------------------------------------------------

// The free space of a disk image, a file of zeros: every window inside a run
// of one byte value is the same 16 bytes, so one hash decides them all, and
// when it is not a hit the search goes on from the run's end.  Finding the
// end is a comparison at memory speed, where the filters read a few GB/s.
// A span that does not start with a run costs one 8-byte comparison.

constexpr size_t RUN_MIN = 256;  // shorter runs are not worth the hash

// Bytes from p on, before `end`, equal to v (its value in every byte of `vv`).
size_t run_length(const uint8_t* p, const uint8_t* end, uint8_t v, uint64_t vv) {
  const uint8_t* q = p;
  for (; end - q >= 32; q += 32) {
    uint64_t w[4];
    std::memcpy(w, q, sizeof w);
    if (((w[0] ^ vv) | (w[1] ^ vv) | (w[2] ^ vv) | (w[3] ^ vv)) != 0) break;
  }
  while (q < end && *q == v) ++q;
  return static_cast<size_t>(q - p);
}

// The first window end at or after `from` not wholly inside a run that
// covers data[from - 15 ..] and hashes above the threshold; `from` when
// there is no such run.  Reads only data[from - 15 .. to).
size_t past_uniform_run(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from, size_t to) {
  if (from < 15 || from >= to || to - from < RUN_MIN) return from;
  const uint8_t* const w = data + from - 15;
  const uint8_t v = w[0];
  const uint64_t vv = uint64_t{v} * 0x0101010101010101u;
  uint64_t head;
  std::memcpy(&head, w + 8, sizeof head);  // w[8 .. 15], the window's newest bytes
  if (head != vv) return from;
  const size_t run = run_length(w, data + to, v, vv);
  if (run < 16 + RUN_MIN) return from;
  uint8_t window[16];
  std::memset(window, v, sizeof window);
  if (window_hash_terms(t, window) < threshold) return from;
  return from - 15 + run;  // the first window that holds another byte
}

struct Tables {
  const uint32_t* add;
  const uint32_t* rem;
  uint32_t threshold;
};

inline uint32_t roll(const Tables& t, uint32_t h, uint8_t in, uint8_t out) { return roll_step(t.add, t.rem, h, in, out); }

inline void mark(uint64_t* bits, size_t j) { bits[j >> 6] |= uint64_t{1} << (j & 63); }

}  // namespace

uint32_t boundary_candidates_portable(const Chunker& ck, uint32_t prev_hash, const uint8_t prev[16],
                                      const uint8_t* data, size_t n, uint64_t* bits) {
  const Tables t{ck.roll_addtab, ck.roll_remtab, ck.chunk_threshold};
  std::memset(bits, 0, ((n + 63) / 64) * sizeof(uint64_t));
  uint32_t h = prev_hash;

  // The first 16 windows reach back into `prev`.
  const size_t head = std::min<size_t>(n, 16);
  for (size_t j = 0; j < head; ++j) {
    h = roll(t, h, data[j], prev[j]);
    if (h < t.threshold) mark(bits, j);
  }
  if (n <= head) return h;

  // Lanes take whole 64-byte blocks of [64, n); positions 16..63 and the
  // blocks left over go through the serial loop.
  size_t j = head;
  const size_t blocks = n > 64 ? (n - 64) / 64 : 0;
  const size_t per_lane = blocks / LANES;
  if (per_lane != 0) {
    for (; j < 64; ++j) {
      h = roll(t, h, data[j], data[j - 16]);
      if (h < t.threshold) mark(bits, j);
    }
    uint32_t lh[LANES];
    size_t base[LANES];
    for (size_t k = 0; k < LANES; ++k) {
      base[k] = 64 + k * per_lane * 64;
      lh[k] = k == 0 ? h : window_hash(ck, data + base[k] - 16);  // warmed up on the 16 bytes before
    }
    const size_t span = per_lane * 64;
    const uint8_t* lp[LANES];  // bytes entering each lane's window
    const uint8_t* lq[LANES];  // bytes leaving it, 16 behind
    for (size_t k = 0; k < LANES; ++k) {
      lp[k] = data + base[k];
      lq[k] = lp[k] - 16;
    }
    for (size_t i = 0; i < span; ++i) {
      for (size_t k = 0; k < LANES; ++k) {
        lh[k] = roll(t, lh[k], lp[k][i], lq[k][i]);
        if (lh[k] < t.threshold) [[unlikely]]
          mark(bits, base[k] + i);
      }
    }
    h = lh[LANES - 1];
    j = 64 + LANES * span;
  }
  for (; j < n; ++j) {
    h = roll(t, h, data[j], data[j - 16]);
    if (h < t.threshold) mark(bits, j);
  }
  return h;
}

size_t boundary_find_portable(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from,
                              size_t to) {
  // Four rolling chains side by side, each over 16 windows of a block of 64
  // and started from its first window's terms, so four loads are in flight
  // where a single roll waits on each; hits go to a mask, looked at once per
  // block.  (Hashing every window from its 16 terms runs at a third of this
  // speed; one serial roll is no faster than that; 8 chains of 8 or 4 of 8
  // measured slower.)
  constexpr size_t CHAINS = 4, RUN = 16;
  if (from >= to) return to;
  size_t b = from;
  for (; to - b >= CHAINS * RUN; b += CHAINS * RUN) {
    uint32_t h[CHAINS];
    uint64_t hits = 0;
    for (size_t c = 0; c < CHAINS; ++c) {
      h[c] = window_hash_terms(t, data + b + c * RUN - 15);
      hits |= uint64_t{h[c] < threshold} << (c * RUN);
    }
    for (size_t i = 1; i < RUN; ++i) {
      for (size_t c = 0; c < CHAINS; ++c) {
        const size_t j = b + c * RUN + i;
        h[c] = roll_step(t.add, t.rem, h[c], data[j], data[j - 16]);
        hits |= uint64_t{h[c] < threshold} << (c * RUN + i);
      }
    }
    if (hits != 0) return b + static_cast<size_t>(__builtin_ctzll(hits));
  }
  for (; b < to; ++b)
    if (window_hash_terms(t, data + b - 15) < threshold) return b;
  return to;
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

bool boundary_candidates_avx2_available() { return cpu_features().avx2; }
bool boundary_gfni_available() { return cpu_features().avx2_gfni; }

#if defined(__x86_64__)

uint32_t boundary_candidates(const Chunker& ck, uint32_t prev_hash, const uint8_t prev[16], const uint8_t* data,
                             size_t n, uint64_t* bits) {
  using Candidates = void (*)(const WindowTables&, uint32_t, const uint8_t*, size_t, size_t, uint64_t*);
  static const Candidates wide = boundary_gfni_available()               ? boundary_candidates_gfni
                                 : boundary_candidates_avx2_available() ? boundary_candidates_avx2
                                                                        : nullptr;
  if (ck.chunk_threshold > FILTER_MAX_THRESHOLD || n < 16 + 32 || wide == nullptr)
    return boundary_candidates_portable(ck, prev_hash, prev, data, n, bits);

  const Tables t{ck.roll_addtab, ck.roll_remtab, ck.chunk_threshold};
  std::memset(bits, 0, ((n + 63) / 64) * sizeof(uint64_t));
  uint32_t h = prev_hash;
  for (size_t j = 0; j < 16; ++j) {  // windows that reach back into `prev`
    h = roll(t, h, data[j], prev[j]);
    if (h < t.threshold) mark(bits, j);
  }
  const size_t body_end = 16 + (n - 16) / 32 * 32;
  const WindowTables& wt = window_tables();
  wide(wt, t.threshold, data, 16, body_end, bits);
  h = window_hash_terms(wt, data + body_end - 16);
  for (size_t j = body_end; j < n; ++j) {
    h = roll(t, h, data[j], data[j - 16]);
    if (h < t.threshold) mark(bits, j);
  }
  return h;
}

size_t boundary_find(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from, size_t to) {
  using Find = size_t (*)(const WindowTables&, uint32_t, const uint8_t*, size_t, size_t);
  static const Find chosen = boundary_gfni_available()               ? boundary_find_gfni
                             : boundary_candidates_avx2_available() ? boundary_find_avx2
                                                                    : boundary_find_portable;
  from = past_uniform_run(t, threshold, data, from, to);
  return chosen(t, threshold, data, from, to);
}

#else

size_t boundary_find(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from, size_t to) {
  return boundary_find_portable(t, threshold, data, past_uniform_run(t, threshold, data, from, to), to);
}

uint32_t boundary_candidates(const Chunker& ck, uint32_t prev_hash, const uint8_t prev[16], const uint8_t* data,
                             size_t n, uint64_t* bits) {
  return boundary_candidates_portable(ck, prev_hash, prev, data, n, bits);
}

#endif

size_t bitmap_next(const uint64_t* bits, size_t from, size_t to) {
  if (from >= to) return to;
  size_t w = from >> 6;
  uint64_t word = bits[w] & (~uint64_t{0} << (from & 63));
  const size_t last = (to - 1) >> 6;
  for (;;) {
    if (word != 0) {
      const size_t j = (w << 6) + static_cast<size_t>(__builtin_ctzll(word));
      return j < to ? j : to;
    }
    if (w == last) return to;
    word = bits[++w];
  }
}

size_t boundary_find_after(const WindowTables& t, uint32_t threshold, const uint8_t before[15], const uint8_t* data,
                           size_t from, size_t to) {
  if (from >= to) return to;
  if (from < 15) {
    // Windows that reach back before data[0] are searched in a stitched copy.
    const size_t head = std::min<size_t>(to, 15);
    uint8_t w[30];
    std::memcpy(w, before, 15);
    std::memcpy(w + 15, data, head);
    const size_t j = boundary_find(t, threshold, w, from + 15, head + 15);
    if (j < head + 15) return j - 15;
    if (to <= 15) return to;
    from = 15;
  }
  return boundary_find(t, threshold, data, from, to);
}

namespace {

// The 16 bytes the chunker fed last, oldest first.
inline void last_fed(const Chunker& ck, uint8_t prev[16]) {
  for (uint32_t k = 0; k < 16; ++k) prev[k] = ck.roll_ring[(ck.roll_pos - 16 + k) & 0xFF];
}

// Leaves the chunker as feeding the span would: `s` is where the unfinished
// chunk starts (negative when it began before the span), `h` the hash at
// the span's last byte.
inline void split_done(Chunker& ck, const uint8_t* data, size_t n, int64_t s, uint32_t h) {
  ck.chunk_len = static_cast<uint32_t>(static_cast<int64_t>(n) - s);
  const size_t keep = std::min<size_t>(n, 16);
  for (size_t i = n - keep; i < n; ++i) ck.roll_ring[(ck.roll_pos + i) & 0xFF] = data[i];
  ck.roll_pos += static_cast<uint32_t>(n);
  ck.roll_hash = h;
}

struct CutResult {
  size_t count;              // chunk ends written
  int64_t unfinished_start;  // where the unfinished chunk starts (negative: before the span)
};

// Picks chunk ends in a span of n bytes by the minimum and maximum length
// rules, continuing a chunk that holds carried_len bytes already, and stops
// once a chunk ends at or past `stop` (n: never early).  A chunk starting at
// offset s may end at j once it holds 64 bytes, and must end when it holds
// 65535; find(first, limit) gives the first window in [first, limit) that
// hashes below the threshold, or limit.
template <typename Find>
CutResult cut_chunks(uint32_t carried_len, size_t n, size_t stop, uint32_t* ends, Find find) {
  size_t count = 0;
  int64_t s = -static_cast<int64_t>(carried_len);
  while (s < static_cast<int64_t>(stop)) {
    const int64_t first = std::max<int64_t>(s + CHUNK_MIN_LEN - 1, 0);
    const int64_t cap = s + CHUNK_MAX_LEN - 1;
    if (first >= static_cast<int64_t>(n)) break;
    const size_t limit = static_cast<size_t>(std::min<int64_t>(cap, static_cast<int64_t>(n)));
    size_t j = find(static_cast<size_t>(first), limit);
    if (j == limit) {
      if (cap >= static_cast<int64_t>(n)) break;
      j = static_cast<size_t>(cap);
    }
    ends[count++] = static_cast<uint32_t>(j + 1);
    s = static_cast<int64_t>(j + 1);
  }
  return {count, s};
}

}  // namespace

size_t chunker_split_bitmap(Chunker& ck, const uint8_t* data, size_t n, uint32_t* ends, uint64_t* bits) {
  uint8_t prev[16];
  last_fed(ck, prev);
  const uint32_t h = boundary_candidates(ck, ck.roll_hash, prev, data, n, bits);

  const CutResult r = cut_chunks(ck.chunk_len, n, n, ends, [&](size_t first, size_t limit) {
    return bitmap_next(bits, first, limit);
  });
  split_done(ck, data, n, r.unfinished_start, h);
  return r.count;
}

size_t chunker_split_seek(Chunker& ck, const uint8_t* data, size_t n, uint32_t* ends) {
  const WindowTables& t = window_tables();
  const uint32_t threshold = ck.chunk_threshold;
  uint8_t prev[16];
  last_fed(ck, prev);

  const CutResult r = cut_chunks(ck.chunk_len, n, n, ends, [&](size_t first, size_t limit) {
    return boundary_find_after(t, threshold, prev + 1, data, first, limit);
  });

  // The hash the chunker would hold: that of the span's last 16 bytes, some
  // of them from before the span when it is shorter.
  uint32_t h;
  if (n >= 16) {
    h = window_hash_terms(t, data + n - 16);
  } else {
    uint8_t w[32];
    std::memcpy(w, prev, 16);
    std::memcpy(w + 16, data, n);
    h = window_hash_terms(t, w + n);
  }
  split_done(ck, data, n, r.unfinished_start, h);
  return r.count;
}

size_t chunker_split(Chunker& ck, const uint8_t* data, size_t n, uint32_t* ends, uint64_t* bits) {
  // With the wide filter the search wins at every threshold, high ones most
  // (it stops at the first window, where a bitmap marks nearly all); the
  // portable search and the portable lanes run about even.
  if (boundary_candidates_avx2_available()) return chunker_split_seek(ck, data, n, ends);
  return chunker_split_bitmap(ck, data, n, ends, bits);
}

size_t cut_chain(uint32_t threshold, const uint8_t* data, size_t from, size_t stop, size_t n, uint32_t* ends) {
  const WindowTables& t = window_tables();
  const uint8_t* const base = data + from;
  const CutResult r = cut_chunks(0, n - from, stop - from, ends, [&](size_t first, size_t limit) {
    return boundary_find(t, threshold, base, first, limit);
  });
  for (size_t i = 0; i < r.count; ++i) ends[i] += static_cast<uint32_t>(from);
  return r.count;
}

}  // namespace cdedup
