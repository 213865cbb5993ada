// The chunker's tables.  chunker_feed (chunker.h) is the definition of the
// boundaries, kept inline for the byte-at-a-time reference path; the fast
// paths find the same boundaries a span at a time (boundary_scan.h) and are
// tested against it.
#include "dedup/chunker.h"

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
  for (uint32_t k = 0; k < ROLL_WINLEN; ++k) t.empty = crc_extend(t.add, t.empty, 0);
  // A byte's contribution after it has been pushed through a full window of
  // zeros; XORing it out removes the byte that leaves the window.
  for (uint32_t x = 0; x < 256; ++x) {
    uint32_t r = t.add[x];
    for (uint32_t k = 0; k < ROLL_WINLEN; ++k) r = crc_extend(t.add, r, 0);
    t.rem[x] = r ^ t.empty;
  }
  return t;
}

// The tables depend on nothing but the window length, so they are built once
// and copied: building them took longer than a short stream's whole run.
const RollTables& roll_tables() {
  static const RollTables tables = build_roll_tables();
  return tables;
}

}  // namespace

void chunker_init(Chunker& ck, uint32_t cfg_chunklen) {
  const RollTables& tables = roll_tables();
  std::memcpy(ck.roll_addtab, tables.add, sizeof ck.roll_addtab);
  std::memcpy(ck.roll_remtab, tables.rem, sizeof ck.roll_remtab);
  ck.roll_winlen = ROLL_WINLEN;
  ck.chunk_threshold = 0xFFFFFFFF / cfg_chunklen;
  std::memset(ck.roll_ring, 0, sizeof ck.roll_ring);
  ck.roll_hash = tables.empty;
  ck.roll_pos = 0;
  ck.chunk_len = 0;
}

uint32_t window_hash(const Chunker& ck, const uint8_t window[16]) {
  // The window's bytes pushed through a window of zeros, each zero leaving.
  uint32_t h = empty_window_hash();
  for (int k = 0; k < 16; ++k) h = roll_step(ck.roll_addtab, ck.roll_remtab, h, window[k], 0);
  return h;
}

uint32_t empty_window_hash() { return roll_tables().empty; }

}  // namespace cdedup
