// Batch fingerprinting with AVX-512: thirty-two chunks in flight, sixteen per
// register.
//
// The lanes work as in the AVX2 variant (fingerprint_avx2.cpp says why two
// groups, why word-major blocks, and how a lane's reads stay inside its
// chunk), twice as wide, and each MD5 step is shorter: a rotate is one
// instruction (vprold) where AVX2 needs two shifts and an OR, and each round
// function is one ternary-logic instruction where AVX2 needs two or three.
// A step is six operations on sixteen lanes instead of nine or ten on eight.
// Lane bookkeeping uses mask registers instead of compare-and-blend.
//
// The 16-byte slices of four lanes, i, i+4, i+8 and i+12, go into the four
// quarters of a register; the in-quarter unpacks of the AVX2 transpose then
// put word k of lane l at element l, with no lane-crossing shuffle.
//
// Built with AVX-512F and entered only after the CPU check; nothing here but
// the entry point has external linkage (see fingerprint_avx2.cpp).
#if defined(__x86_64__) || defined(_M_X64)

// g++ 12 takes the deliberately undefined vectors of its own AVX-512
// intrinsics for uninitialised ones.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <immintrin.h>

#include <cstring>

#include "dedup/fingerprint_lanes.h"
#include "dedup/x86/md5_steps.h"

namespace cdedup {

namespace {

using V = __m512i;

constexpr int GROUP = 16;  // lanes per register
constexpr int GROUPS = 2;
constexpr int LANES = GROUP * GROUPS;

inline V splat(uint32_t k) { return _mm512_set1_epi32(static_cast<int>(k)); }
inline V add(V a, V b) { return _mm512_add_epi32(a, b); }

// As in the AVX2 variant: keeps a + m + k off the chain through b.
inline V settled(V x) {
  asm("" : "+v"(x));
  return x;
}

// Round functions as ternary-logic tables over (b, c, d).
constexpr int TABLE_F = 0xCA;  // b ? c : d
constexpr int TABLE_G = 0xE4;  // d ? b : c
constexpr int TABLE_H = 0x96;  // b ^ c ^ d
constexpr int TABLE_I = 0x39;  // c ^ (b | ~d)

template <int TABLE, int S>
inline V step(V a, V b, V c, V d, V m, uint32_t k) {
  const V t = settled(add(add(a, m), splat(k)));
  return add(b, _mm512_rol_epi32(add(t, _mm512_ternarylogic_epi32(b, c, d, TABLE)), S));
}

struct alignas(64) Block {
  V w[16];
};

#define CDEDUP_STEP(TABLE, a, b, c, d, i, j, s)                                        \
  do {                                                                                 \
    a##0 = step<TABLE, s>(a##0, b##0, c##0, d##0, m0[i], MD5_K[j]);                    \
    if constexpr (NG == 2) a##1 = step<TABLE, s>(a##1, b##1, c##1, d##1, m1[i], MD5_K[j]); \
  } while (0)

template <int NG>
void mix_groups(Block* g0, Block* g1) {
  V* m0 = g0->w;
  [[maybe_unused]] V* m1 = NG == 2 ? g1->w : g0->w;
  V a0 = splat(MD5_IV[0]), b0 = splat(MD5_IV[1]), c0 = splat(MD5_IV[2]), d0 = splat(MD5_IV[3]);
  [[maybe_unused]] V a1 = a0, b1 = b0, c1 = c0, d1 = d0;
  CDEDUP_MD5_STEPS(CDEDUP_STEP, TABLE_F, TABLE_G, TABLE_H, TABLE_I);
  m0[0] = _mm512_xor_si512(m0[0], add(a0, splat(MD5_IV[0])));
  m0[1] = _mm512_xor_si512(m0[1], add(b0, splat(MD5_IV[1])));
  m0[2] = _mm512_xor_si512(m0[2], add(c0, splat(MD5_IV[2])));
  m0[3] = _mm512_xor_si512(m0[3], add(d0, splat(MD5_IV[3])));
  if constexpr (NG == 2) {
    m1[0] = _mm512_xor_si512(m1[0], add(a1, splat(MD5_IV[0])));
    m1[1] = _mm512_xor_si512(m1[1], add(b1, splat(MD5_IV[1])));
    m1[2] = _mm512_xor_si512(m1[2], add(c1, splat(MD5_IV[2])));
    m1[3] = _mm512_xor_si512(m1[3], add(d1, splat(MD5_IV[3])));
  }
}

#undef CDEDUP_STEP

inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Lanes l, l+4, l+8 and l+12's 16 bytes at offset o, one per quarter.
inline V load_quad(const uint8_t* const* src, int l, int o) {
  V r = _mm512_castsi128_si512(load16(src[l] + o));
  r = _mm512_inserti32x4(r, load16(src[l + 4] + o), 1);
  r = _mm512_inserti32x4(r, load16(src[l + 8] + o), 2);
  return _mm512_inserti32x4(r, load16(src[l + 12] + o), 3);
}

// Lane state as in the AVX2 variant: only the bytes not yet in any fill; the
// read address follows from it.
struct Lanes {
  Block blk[GROUPS];
  alignas(64) uint32_t left[GROUPS][GROUP];
  alignas(64) uint64_t end[GROUPS][GROUP];
  alignas(64) uint64_t delta[GROUPS][GROUP];
  alignas(64) uint8_t tail[LANES][128];
  size_t chunk[LANES];
  unsigned busy[GROUPS];
  unsigned fresh[GROUPS];
};

void load_group(Lanes& s, int g) {
  Block& b = s.blk[g];
  const V n = _mm512_load_si512(s.left[g]);
  const V fill = _mm512_min_epu32(n, splat(FOLD_FILL));
  _mm512_store_si512(s.left[g], _mm512_sub_epi32(n, fill));
  const __mmask16 last = _mm512_cmplt_epu32_mask(n, splat(FOLD_FILL + 1));  // this fill is the chunk's last
  alignas(64) uint64_t addr[GROUP];
  const __m256i halves[2] = {_mm512_castsi512_si256(n), _mm512_extracti64x4_epi64(n, 1)};
  for (int h = 0; h < 2; ++h) {
    const V e = _mm512_load_si512(s.end[g] + 8 * h);
    const V d = _mm512_load_si512(s.delta[g] + 8 * h);
    const V a = _mm512_sub_epi64(e, _mm512_cvtepu32_epi64(halves[h]));
    _mm512_store_si512(addr + 8 * h, _mm512_mask_add_epi64(a, static_cast<__mmask8>(last >> (8 * h)), a, d));
  }
  const uint8_t* src[GROUP];
  for (int i = 0; i < GROUP; ++i) src[i] = reinterpret_cast<const uint8_t*>(addr[i]);

  // A lane that took a new chunk starts its block afresh.
  const __mmask16 keep = static_cast<__mmask16>(~s.fresh[g]);
  s.fresh[g] = 0;
  for (int q = 0; q < 4; ++q) {
    const int o = 16 * q;
    const V r0 = load_quad(src, 0, o), r1 = load_quad(src, 1, o);
    const V r2 = load_quad(src, 2, o), r3 = load_quad(src, 3, o);
    const V t0 = _mm512_unpacklo_epi32(r0, r1);
    const V t1 = _mm512_unpackhi_epi32(r0, r1);
    const V t2 = _mm512_unpacklo_epi32(r2, r3);
    const V t3 = _mm512_unpackhi_epi32(r2, r3);
    const V x[4] = {_mm512_unpacklo_epi64(t0, t2), _mm512_unpackhi_epi64(t0, t2), _mm512_unpacklo_epi64(t1, t3),
                    _mm512_unpackhi_epi64(t1, t3)};
    V* w = b.w + 4 * q;
    for (int k = 0; k < 4; ++k) w[k] = _mm512_mask_xor_epi32(x[k], keep, w[k], x[k]);
  }
  // Byte 63 of the source is not part of this fill; the fill index takes its place.
  b.w[15] = _mm512_ternarylogic_epi32(b.w[15], splat(0x00FFFFFF), _mm512_slli_epi32(fill, 24), 0xEA);  // a & b | c
}

void put_key(ChunkKey& key, const Block& b, int i, uint32_t len) {
  for (int k = 0; k < 3; ++k) std::memcpy(key.bytes + 4 * k, reinterpret_cast<const uint8_t*>(&b.w[k]) + 4 * i, 4);
  std::memcpy(key.bytes + 12, reinterpret_cast<const uint8_t*>(&b.w[3]) + 4 * i, 2);
  key.bytes[14] = static_cast<uint8_t>(len);
  key.bytes[15] = static_cast<uint8_t>(len >> 8);
}

}  // namespace

void fingerprint_chunks_avx512(const uint8_t* const* starts, const uint32_t* lens, size_t count, ChunkKey* keys) {
  if (count == 0) return;
  Lanes s;
  size_t next = 0;
  s.busy[0] = s.busy[1] = 0;
  s.fresh[0] = s.fresh[1] = 0;
  for (auto& t : s.tail) _mm512_store_si512(t + 64, _mm512_setzero_si512());
  // An idle lane looks like an empty chunk that never ends.
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
      _mm512_store_si512(tail, _mm512_loadu_si512(p + n - 64));
    } else if (n > 0) {
      std::memcpy(tail + 64 - n, p, n);
    }
    const uint64_t end = reinterpret_cast<uintptr_t>(p) + n;  // p may be null when n is 0
    s.chunk[l] = next++;
    s.end[g][i] = end;
    s.delta[g][i] = tail_end - end;
    s.left[g][i] = n;
    s.busy[g] |= 1u << i;
  };
  for (int l = 0; l < LANES; ++l) take(l);

  // As in the AVX2 variant, a lane done this round takes its next chunk
  // before the mix, and its key is read after it.
  size_t done_chunk[LANES];
  while ((s.busy[0] | s.busy[1]) != 0) {
    unsigned done[GROUPS] = {0, 0};
    const unsigned mixed[GROUPS] = {s.busy[0], s.busy[1]};
    for (int g = 0; g < GROUPS; ++g) {
      if (mixed[g] == 0) continue;
      load_group(s, g);
      done[g] = _mm512_cmpeq_epi32_mask(_mm512_load_si512(s.left[g]), _mm512_setzero_si512()) & mixed[g];
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
