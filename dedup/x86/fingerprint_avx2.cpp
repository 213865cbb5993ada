// Batch fingerprinting with AVX2: sixteen chunks in flight, eight per register.
//
// One MD5 step is a chain of about six dependent vector operations, so a
// single group of eight lanes leaves most of the core idle; two independent
// groups, their steps interleaved, cost hardly more time than one.  A third
// group gained nothing measurable: with two the vector ports are the limit.  Fold blocks
// are held word-major (one register-width column per block word) so a step
// loads its message word for eight lanes at once.  Each round XORs the next
// fill of every lane in by loading a 16-byte slice from each lane and
// transposing in registers; a lane whose chunk is done takes the next chunk,
// and a group with no lane left is not mixed at all.
//
// Reads stay inside each chunk: a lane reads 64 bytes in place only while at
// least 64 of its bytes remain; its last fill comes from a zero-padded copy
// of the chunk's tail, made when the lane takes the chunk.  Lane bookkeeping
// uses selects and a bit mask of finished lanes instead of per-lane branches,
// which would mispredict about once per chunk.
//
// This file is compiled with AVX2 enabled and is entered only after the CPU
// check.  Everything here except the entry point has internal linkage and no
// inline function or template of a shared header is used, so no AVX2 code can
// be picked by the linker to stand in for code of the other files.
#if defined(__x86_64__) || defined(_M_X64)

#include <immintrin.h>

#include <cstring>

#include "dedup/fingerprint_lanes.h"
#include "dedup/x86/md5_steps.h"

namespace cdedup {

namespace {

using V = __m256i;

constexpr int GROUP = 8;  // lanes per register
constexpr int GROUPS = 2;
constexpr int LANES = GROUP * GROUPS;
constexpr uint32_t IV0 = MD5_IV[0], IV1 = MD5_IV[1], IV2 = MD5_IV[2], IV3 = MD5_IV[3];

inline V splat(uint32_t k) { return _mm256_set1_epi32(static_cast<int>(k)); }
inline V add(V a, V b) { return _mm256_add_epi32(a, b); }
inline V vxor(V a, V b) { return _mm256_xor_si256(a, b); }
inline V vand(V a, V b) { return _mm256_and_si256(a, b); }
inline V andnot(V a, V b) { return _mm256_andnot_si256(a, b); }  // ~a & b

// Left to itself the compiler re-associates a + m + k + f as (a + f) + (m + k),
// which puts one more addition on the chain through b.  An empty asm statement
// fixes the order.
inline V settled(V x) {
  asm("" : "+x"(x));
  return x;
}

template <int S>
inline V rotl(V x) {
  if constexpr (S == 16) {  // one byte shuffle instead of two shifts and an OR
    const V swap_halves = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,  //
                                           2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
    return _mm256_shuffle_epi8(x, swap_halves);
  }
  return _mm256_or_si256(_mm256_slli_epi32(x, S), _mm256_srli_epi32(x, 32 - S));
}

// The additive constants, one register-width row per step.  The rows of the
// last sixteen steps hold k - 1 (see step_i).  Read from memory as operands:
// built in registers they would cost a broadcast per step.
struct alignas(32) StepConstants {
  uint32_t row[64][GROUP];
};

constexpr StepConstants make_step_constants() {
  StepConstants t{};
  for (int j = 0; j < 64; ++j)
    for (int l = 0; l < GROUP; ++l) t.row[j][l] = j < 48 ? MD5_K[j] : MD5_K[j] - 1;
  return t;
}

constexpr StepConstants STEP_CONSTANTS = make_step_constants();

// The auxiliary functions arranged to put as few operations as possible
// after the newest value b; a + m + k is formed off that path.
template <int S>
inline V step_f(V a, V b, V c, V d, V m, V k) {
  const V t = settled(add(add(a, m), k));
  return add(b, rotl<S>(add(t, vxor(d, vand(b, vxor(c, d))))));
}

// G = (b & d) | (c & ~d); the two terms never share a bit, so they may be added.
template <int S>
inline V step_g(V a, V b, V c, V d, V m, V k) {
  const V t = settled(add(add(add(a, m), k), andnot(d, c)));
  return add(b, rotl<S>(add(t, vand(b, d))));
}

template <int S>
inline V step_h(V a, V b, V c, V d, V m, V k) {
  const V t = settled(add(add(a, m), k));
  return add(b, rotl<S>(add(t, vxor(b, vxor(c, d)))));
}

// I = c ^ (b | ~d) = ~(c ^ (~b & d)), and x + ~v = x - v - 1: the NOT is
// folded into the constant, which holds k - 1.
template <int S>
inline V step_i(V a, V b, V c, V d, V m, V k_minus_1) {
  const V t = settled(add(add(a, m), k_minus_1));
  return add(b, rotl<S>(_mm256_sub_epi32(t, vxor(c, andnot(b, d)))));
}

// Word k of the fold blocks of eight lanes.  Word 15 carries, in its top
// byte, the fill index of the fill being mixed.
struct alignas(32) Block {
  V w[16];
};

// One fold_mix on each lane of NG groups: MD5 of each block from the IV,
// result XORed into words 0..3.  The groups' steps alternate so their
// dependency chains overlap.
#define CDEDUP_STEP(FN, a, b, c, d, i, j, s)                                   \
  do {                                                                         \
    a##0 = FN<s>(a##0, b##0, c##0, d##0, m0[i], kt[j]);                        \
    if constexpr (NG == 2) a##1 = FN<s>(a##1, b##1, c##1, d##1, m1[i], kt[j]); \
  } while (0)

template <int NG>
void mix_groups(Block* g0, Block* g1) {
  V* m0 = g0->w;
  [[maybe_unused]] V* m1 = NG == 2 ? g1->w : g0->w;
  // Hidden from the optimiser so that it keeps the constants in memory.
  const V* kt = reinterpret_cast<const V*>(STEP_CONSTANTS.row);
  asm("" : "+r"(kt));
  V a0 = splat(IV0), b0 = splat(IV1), c0 = splat(IV2), d0 = splat(IV3);
  [[maybe_unused]] V a1 = a0, b1 = b0, c1 = c0, d1 = d0;

  CDEDUP_MD5_STEPS(CDEDUP_STEP, step_f, step_g, step_h, step_i);

  m0[0] = vxor(m0[0], add(a0, splat(IV0)));
  m0[1] = vxor(m0[1], add(b0, splat(IV1)));
  m0[2] = vxor(m0[2], add(c0, splat(IV2)));
  m0[3] = vxor(m0[3], add(d0, splat(IV3)));
  if constexpr (NG == 2) {
    m1[0] = vxor(m1[0], add(a1, splat(IV0)));
    m1[1] = vxor(m1[1], add(b1, splat(IV1)));
    m1[2] = vxor(m1[2], add(c1, splat(IV2)));
    m1[3] = vxor(m1[3], add(d1, splat(IV3)));
  }
}

#undef CDEDUP_STEP

// Lane l's 16 bytes at lo in the low half, lane l+4's at hi in the high half.
inline V load_pair(const uint8_t* lo, const uint8_t* hi) {
  const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo));
  const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(l), h, 1);
}

// Lane state, eight lanes per group side by side so that one round's
// bookkeeping is a handful of vector operations, not eight scalar selects
// (which the compiler turned into branches that missed about once a chunk).
// A lane keeps only the count of bytes not yet in any fill; its read address
// follows from that: end - left while a further fill follows, else the same
// offset in the lane's tail copy, end + delta - left.
struct Lanes {
  Block blk[GROUPS];
  alignas(32) uint32_t left[GROUPS][GROUP];  // bytes of the chunk not yet in any fill
  alignas(32) uint64_t end[GROUPS][GROUP];   // address just past the chunk
  alignas(32) uint64_t delta[GROUPS][GROUP];  // tail copy's end minus end
  // The chunk's last min(64, length) bytes, ending at offset 64; zeros after.
  // A fill of fewer than 64 remaining bytes is read from here, so reading 64
  // bytes at once never passes the chunk's end.
  alignas(32) uint8_t tail[LANES][128];
  size_t chunk[LANES];
  unsigned busy[GROUPS];   // bit i: lane i of the group holds a chunk
  unsigned fresh[GROUPS];  // bit i: lane i took a new chunk since its last fill
};

// XOR one fill per lane into a group's blocks and set the fill index.  The
// 16-byte slices of four lane pairs transpose with unpacks alone because
// load_pair already put lane i and lane i+4 in the two halves.  (Two 32-byte
// loads per lane and a full 8x8 transpose need as many shuffles, three of
// them crossing halves: no gain.)
void load_group(Lanes& s, int g) {
  Block& b = s.blk[g];
  const V n = _mm256_load_si256(reinterpret_cast<const V*>(s.left[g]));
  const V fill = _mm256_min_epu32(n, splat(FOLD_FILL));
  _mm256_store_si256(reinterpret_cast<V*>(s.left[g]), _mm256_sub_epi32(n, fill));
  const V last = _mm256_cmpgt_epi32(splat(FOLD_FILL + 1), n);  // this fill is the chunk's last
  alignas(32) uint64_t addr[GROUP];  // 64 readable bytes starting with this round's fill
  for (int h = 0; h < 2; ++h) {
    const __m128i nh = h == 0 ? _mm256_castsi256_si128(n) : _mm256_extracti128_si256(n, 1);
    const __m128i lh = h == 0 ? _mm256_castsi256_si128(last) : _mm256_extracti128_si256(last, 1);
    const V e = _mm256_load_si256(reinterpret_cast<const V*>(s.end[g] + 4 * h));
    const V d = _mm256_load_si256(reinterpret_cast<const V*>(s.delta[g] + 4 * h));
    const V a = _mm256_add_epi64(_mm256_sub_epi64(e, _mm256_cvtepu32_epi64(nh)), vand(_mm256_cvtepi32_epi64(lh), d));
    _mm256_store_si256(reinterpret_cast<V*>(addr + 4 * h), a);
  }
  const uint8_t* src[GROUP];
  for (int i = 0; i < GROUP; ++i) src[i] = reinterpret_cast<const uint8_t*>(addr[i]);

  // All ones: continue the block; 0: a new chunk starts in this lane.
  const V lane_bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  const V keep = _mm256_cmpeq_epi32(vand(splat(s.fresh[g]), lane_bit), _mm256_setzero_si256());
  s.fresh[g] = 0;
  for (int q = 0; q < 4; ++q) {
    const int o = 16 * q;
    const V r0 = load_pair(src[0] + o, src[4] + o);
    const V r1 = load_pair(src[1] + o, src[5] + o);
    const V r2 = load_pair(src[2] + o, src[6] + o);
    const V r3 = load_pair(src[3] + o, src[7] + o);
    const V t0 = _mm256_unpacklo_epi32(r0, r1);
    const V t1 = _mm256_unpackhi_epi32(r0, r1);
    const V t2 = _mm256_unpacklo_epi32(r2, r3);
    const V t3 = _mm256_unpackhi_epi32(r2, r3);
    V* w = b.w + 4 * q;
    w[0] = vxor(vand(w[0], keep), _mm256_unpacklo_epi64(t0, t2));
    w[1] = vxor(vand(w[1], keep), _mm256_unpackhi_epi64(t0, t2));
    w[2] = vxor(vand(w[2], keep), _mm256_unpacklo_epi64(t1, t3));
    w[3] = vxor(vand(w[3], keep), _mm256_unpackhi_epi64(t1, t3));
  }
  // Byte 63 of the source is the next fill's first byte (or padding), not
  // part of this fill; the fill index takes its place.
  b.w[15] = _mm256_or_si256(vand(b.w[15], splat(0x00FFFFFF)), _mm256_slli_epi32(fill, 24));
}

void put_key(ChunkKey& key, const Block& b, int i, uint32_t len) {
  // x86 is little-endian: lane words are already in key byte order.
  for (int k = 0; k < 3; ++k) std::memcpy(key.bytes + 4 * k, reinterpret_cast<const uint8_t*>(&b.w[k]) + 4 * i, 4);
  std::memcpy(key.bytes + 12, reinterpret_cast<const uint8_t*>(&b.w[3]) + 4 * i, 2);
  key.bytes[14] = static_cast<uint8_t>(len);
  key.bytes[15] = static_cast<uint8_t>(len >> 8);
}

}  // namespace

void fingerprint_chunks_avx2(const uint8_t* const* starts, const uint32_t* lens, size_t count, ChunkKey* keys) {
  if (count == 0) return;
  Lanes s;
  size_t next = 0;
  s.busy[0] = s.busy[1] = 0;
  s.fresh[0] = s.fresh[1] = 0;
  for (auto& t : s.tail) {
    _mm256_store_si256(reinterpret_cast<V*>(t + 64), _mm256_setzero_si256());
    _mm256_store_si256(reinterpret_cast<V*>(t + 96), _mm256_setzero_si256());
  }
  // An idle lane looks like an empty chunk that never ends: no bytes, zero
  // fills from its tail, and no key written.
  auto take = [&](int l) {
    const int g = l / GROUP, i = l % GROUP;
    uint8_t* tail = s.tail[l];
    const uint64_t tail_end = reinterpret_cast<uintptr_t>(tail + 64);
    s.fresh[g] |= 1u << i;
    if (next == count) {
      s.end[g][i] = tail_end;
      s.delta[g][i] = 0;
      s.left[g][i] = 0;
      s.busy[g] &= ~(1u << i);
      return;
    }
    const uint8_t* p = starts[next];
    const uint32_t n = lens[next];
    if (n >= 64) {
      const uint8_t* e = p + n - 64;
      _mm256_store_si256(reinterpret_cast<V*>(tail), _mm256_loadu_si256(reinterpret_cast<const V*>(e)));
      _mm256_store_si256(reinterpret_cast<V*>(tail + 32), _mm256_loadu_si256(reinterpret_cast<const V*>(e + 32)));
    } else if (n > 0) {
      std::memcpy(tail + 64 - n, p, n);
    }
    // Integer arithmetic: p may be null when n is 0.
    const uint64_t end = reinterpret_cast<uintptr_t>(p) + n;
    s.chunk[l] = next++;
    s.end[g][i] = end;
    s.delta[g][i] = tail_end - end;
    s.left[g][i] = n;
    s.busy[g] |= 1u << i;
  };
  for (int l = 0; l < LANES; ++l) take(l);

  // A lane whose chunk has its last fill in this round takes its next chunk
  // before the mix, not after: that scalar work then overlaps the vector
  // work of the mix, and its stores have left the store queue when the next
  // round's vector loads of the lane state come.  The key is read after the
  // mix, from the chunk index saved in done_chunk.
  size_t done_chunk[LANES];
  while ((s.busy[0] | s.busy[1]) != 0) {
    unsigned done[GROUPS] = {0, 0};
    const unsigned mixed[GROUPS] = {s.busy[0], s.busy[1]};
    for (int g = 0; g < GROUPS; ++g) {
      if (mixed[g] == 0) continue;
      load_group(s, g);
      const V left = _mm256_load_si256(reinterpret_cast<const V*>(s.left[g]));
      const V zero = _mm256_setzero_si256();
      done[g] = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(left, zero))));
      done[g] &= mixed[g];
      for (unsigned d = done[g]; d != 0; d &= d - 1) {
        const int l = g * GROUP + __builtin_ctz(d);
        done_chunk[l] = s.chunk[l];
        take(l);
      }
    }

    if (mixed[0] != 0 && mixed[1] != 0) {
      mix_groups<2>(&s.blk[0], &s.blk[1]);
    } else {
      mix_groups<1>(&s.blk[mixed[0] != 0 ? 0 : 1], nullptr);
    }

    for (int g = 0; g < GROUPS; ++g) {
      for (unsigned d = done[g]; d != 0; d &= d - 1) {
        const int i = __builtin_ctz(d);
        const size_t c = done_chunk[g * GROUP + i];
        put_key(keys[c], s.blk[g], i, lens[c]);
      }
    }
  }
}

}  // namespace cdedup

#endif
