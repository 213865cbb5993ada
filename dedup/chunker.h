// Content-defined chunk boundaries: a rolling CRC-32 over the last 16 bytes.
//
// The per-byte step is two table look-ups, a ring read and write and a few
// XORs, kept inline so the byte-at-a-time reference path costs no call.  A
// chunk may end only from its 64th byte on, and the window is 16 bytes, so
// whether a chunk ends at a byte depends on that chunk's bytes alone; the
// decoder relies on this to find the encoder's boundaries again.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cdedup {

inline constexpr uint32_t ROLL_WINLEN = 16;
inline constexpr uint32_t CHUNK_MIN_LEN = 64;
inline constexpr uint32_t CHUNK_MAX_LEN = 65535;

struct Chunker {
  uint32_t roll_hash;        // CRC-32 of the last 16 bytes fed
  uint32_t chunk_len;        // bytes of the current chunk fed so far
  uint32_t roll_pos;         // bytes fed since the stream began (mod 2^32)
  uint32_t roll_winlen;      // always ROLL_WINLEN
  uint32_t chunk_threshold;  // 0xFFFFFFFF / cfg_chunklen
  uint32_t roll_addtab[256];
  uint32_t roll_remtab[256];
  uint8_t roll_ring[256];    // byte fed at position p sits at p & 0xFF
};

// Builds the tables and starts a stream.  cfg_chunklen must be at least 1.
void chunker_init(Chunker& ck, uint32_t cfg_chunklen);

// The CRC-32 `h` extended by byte `in` (add: the chunker's roll_addtab).
inline uint32_t crc_extend(const uint32_t* add, uint32_t h, uint8_t in) { return (h >> 8) ^ add[(h ^ in) & 0xFF]; }

// The one step of the rolling hash, which every path takes: `in` enters the
// window whose hash is h, and `out`, the byte 16 before it, leaves.
inline uint32_t roll_step(const uint32_t* add, const uint32_t* rem, uint32_t h, uint8_t in, uint8_t out) {
  return crc_extend(add, h, in) ^ rem[out];
}

// Feeds one byte; true when the current chunk ends after it.
inline bool chunker_feed(Chunker& ck, uint8_t b) {
  const uint8_t out = ck.roll_ring[(ck.roll_pos - ck.roll_winlen) & 0xFF];
  ck.roll_hash = roll_step(ck.roll_addtab, ck.roll_remtab, ck.roll_hash, b, out);
  ck.roll_ring[ck.roll_pos & 0xFF] = b;
  ck.chunk_len += 1;
  ck.roll_pos += 1;
  return ck.chunk_len >= CHUNK_MIN_LEN && (ck.roll_hash < ck.chunk_threshold || ck.chunk_len >= CHUNK_MAX_LEN);
}

inline void chunker_end_chunk(Chunker& ck) { ck.chunk_len = 0; }

// CRC-32 of 16 zero bytes: the hash before any byte has been fed.
uint32_t empty_window_hash();

// CRC-32 of a 16-byte window, as the chunker holds it after those bytes.
uint32_t window_hash(const Chunker& ck, const uint8_t window[16]);

}  // namespace cdedup
