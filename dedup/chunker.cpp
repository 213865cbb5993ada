// Chunk boundaries over a span at a time.
//
// chunker_feed is the definition; chunker_scan is its serial span form, one
// chunk at a time.  (The encoder and decoder use the lane-parallel search of
// boundary_scan.h, which is tested against chunker_feed.)  chunker_scan keeps
// the rolling state in registers for the whole span and splits the work in
// two phases: the first 63 bytes of a chunk can never end it, so they only
// roll the hash; after that each byte is tested, with the 65535-byte cap
// turned into a loop bound instead of a per-byte compare.  What bounds the
// speed is the hash's dependency chain, one table load per byte; splitting
// the search into lanes is the way past it.
#include "dedup/chunker.h"

#include <algorithm>
#include <cstring>

namespace cdedup {

namespace {

constexpr uint32_t CRC32_POLY = 0xEDB88320;  // reflected CRC-32 polynomial

struct RollTables {
  uint32_t add[256];
  uint32_t rem[256];
  uint32_t empty;  // hash of a window of zeros
};

RollTables build_roll_tables() {
  RollTables t{};
  // Entry i of the plain CRC table lands at i ^ 0xFF with its top byte
  // flipped, which folds the CRC's initial and final XOR into the table:
  // add[x] is the CRC-32 of the single byte x.
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t v = i;
    for (int k = 0; k < 8; ++k) v = (v & 1) ? (v >> 1) ^ CRC32_POLY : v >> 1;
    t.add[i ^ 0xFF] = v ^ 0xFF000000;
  }
  for (uint32_t k = 0; k < ROLL_WINLEN; ++k) t.empty = (t.empty >> 8) ^ t.add[t.empty & 0xFF];
  // A byte's contribution after it has been pushed through a full window of
  // zeros; XORing it out removes the byte that leaves the window.
  for (uint32_t x = 0; x < 256; ++x) {
    uint32_t r = t.add[x];
    for (uint32_t k = 0; k < ROLL_WINLEN; ++k) r = (r >> 8) ^ t.add[r & 0xFF];
    t.rem[x] = r ^ t.empty;
  }
  return t;
}

}  // namespace

// The tables depend on nothing but the window length, so they are built once
// and copied: building them took longer than a short stream's whole run.
void chunker_init(Chunker& ck, uint32_t cfg_chunklen) {
  static const RollTables tables = build_roll_tables();
  std::memcpy(ck.roll_addtab, tables.add, sizeof ck.roll_addtab);
  std::memcpy(ck.roll_remtab, tables.rem, sizeof ck.roll_remtab);
  ck.roll_winlen = ROLL_WINLEN;
  ck.chunk_threshold = 0xFFFFFFFF / cfg_chunklen;
  std::memset(ck.roll_ring, 0, sizeof ck.roll_ring);
  ck.roll_hash = tables.empty;
  ck.roll_pos = 0;
  ck.chunk_len = 0;
}

ChunkScan chunker_scan(Chunker& ck, const uint8_t* data, size_t len) {
  const uint32_t* const addtab = ck.roll_addtab;
  const uint32_t* const remtab = ck.roll_remtab;
  uint8_t* const ring = ck.roll_ring;
  const uint32_t winlen = ck.roll_winlen;
  const uint32_t threshold = ck.chunk_threshold;
  uint32_t hash = ck.roll_hash;
  uint32_t pos = ck.roll_pos;
  uint32_t clen = ck.chunk_len;

  // Same order as chunker_feed: read the leaving byte before writing.
  auto roll = [&](uint8_t b) {
    const uint8_t out = ring[(pos - winlen) & 0xFF];
    hash = (hash >> 8) ^ addtab[(hash ^ b) & 0xFF] ^ remtab[out];
    ring[pos & 0xFF] = b;
    pos += 1;
  };

  size_t i = 0;
  bool boundary = false;

  if (clen < CHUNK_MIN_LEN - 1) {
    const size_t n = std::min<size_t>(len, CHUNK_MIN_LEN - 1 - clen);
    for (; i < n; ++i) roll(data[i]);
    clen += static_cast<uint32_t>(n);
  }

  if (i < len) {
    // Every byte from here on is tested; the one that brings the chunk to the
    // cap ends it whatever its hash.
    const size_t room = clen < CHUNK_MAX_LEN ? CHUNK_MAX_LEN - clen : 1;
    const size_t start = i;
    const size_t end = i + std::min(len - i, room);
    while (i < end) {
      roll(data[i++]);
      if (hash < threshold) {
        boundary = true;
        break;
      }
    }
    clen += static_cast<uint32_t>(i - start);
    if (i - start == room) boundary = true;
  }

  ck.roll_hash = hash;
  ck.roll_pos = pos;
  ck.chunk_len = clen;
  return ChunkScan{i, boundary};
}

uint32_t window_hash(const Chunker& ck, const uint8_t window[16]) {
  uint32_t h = empty_window_hash(ck);
  for (int k = 0; k < 16; ++k) h = (h >> 8) ^ ck.roll_addtab[(h ^ window[k]) & 0xFF] ^ ck.roll_remtab[0];
  return h;
}

uint32_t empty_window_hash(const Chunker& ck) {
  uint32_t h = 0;
  for (uint32_t k = 0; k < ROLL_WINLEN; ++k) h = (h >> 8) ^ ck.roll_addtab[h & 0xFF];
  return h;
}

}  // namespace cdedup
