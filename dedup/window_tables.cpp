// Term tables, derived from the chunker's own rolling hash so that the two
// cannot disagree: a term is the hash of a window holding one byte, XOR the
// hash of the empty window.  The roll tables are the chunker's, copied.
#include "dedup/window_tables.h"

#include <algorithm>
#include <iterator>
#include <memory>

#include "dedup/chunker.h"

namespace cdedup {

namespace {

std::unique_ptr<WindowTables> build() {
  auto ck = std::make_unique<Chunker>();
  chunker_init(*ck, 1);
  auto t = std::make_unique<WindowTables>();
  std::copy(std::begin(ck->roll_addtab), std::end(ck->roll_addtab), t->add);
  std::copy(std::begin(ck->roll_remtab), std::end(ck->roll_remtab), t->rem);
  uint8_t w[16] = {};
  t->empty = empty_window_hash();
  for (int k = 0; k < 16; ++k) {
    for (int x = 0; x < 256; ++x) {
      w[k] = static_cast<uint8_t>(x);
      t->g[k][x] = window_hash(*ck, w) ^ t->empty;
    }
    w[k] = 0;
    for (int x = 0; x < 16; ++x) {
      t->top_lo[k][x] = t->top_lo[k][x + 16] = static_cast<uint8_t>(t->g[k][x] >> 24);
      t->top_hi[k][x] = t->top_hi[k][x + 16] = static_cast<uint8_t>(t->g[k][x << 4] >> 24);
    }
    uint64_t matrix = 0;
    for (int i = 0; i < 8; ++i) {
      uint64_t row = 0;
      for (int j = 0; j < 8; ++j) row |= uint64_t((t->g[k][1 << j] >> (24 + i)) & 1) << j;
      matrix |= row << (8 * (7 - i));
    }
    for (uint64_t& m : t->top_affine[k]) m = matrix;
  }
  return t;
}

}  // namespace

const WindowTables& window_tables() {
  static const std::unique_ptr<WindowTables> tables = build();
  return *tables;
}

}  // namespace cdedup
