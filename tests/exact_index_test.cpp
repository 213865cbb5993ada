// Mode e's lookups (index_find_or_file): exact positions kept inside the slot,
// expiry measured at the lookup, rebases.  On random operation sequences the
// table is compared with a model that keeps every entry's 64-bit position
// beside it and never rebases, so the split of positions between pos_tag and
// key bytes 4..5, equality without those bytes, offsets near the top of the
// 47-bit span, jumps far past 2^48 and every rebase must come out as if
// positions were plain numbers.
#include "dedup/exact_index.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "support/index_model.h"

namespace cdedup {
namespace {

using Key = std::array<uint8_t, 16>;

// lead sets bytes 0..3 and so the home slot; id goes into bytes 6..9 (part of
// the check in a filed key).
Key make_key(uint32_t lead, uint32_t id, uint16_t len = 164) {
  Key k{};
  for (int i = 0; i < 4; ++i) {
    k[i] = static_cast<uint8_t>(lead >> (8 * i));
    k[6 + i] = static_cast<uint8_t>(id >> (8 * i));
  }
  k[14] = static_cast<uint8_t>(len);
  k[15] = static_cast<uint8_t>(len >> 8);
  return k;
}

// Equal as filed keys: all but bytes 4..5.
bool filed_same(const uint8_t* a, const uint8_t* b) {
  return std::memcmp(a, b, 4) == 0 && std::memcmp(a + 6, b + 6, 10) == 0;
}

struct Table {
  std::vector<IndexSlot> slots;
  ChunkIndex ix{};

  Table(uint32_t n, uint32_t window) : slots(n) {
    index_set_tblsize(ix, n);
    ix.encmem_bytes = n * INDEX_SLOT_BYTES;
    ix.cfg_decwinsize = window;
    ix.htbl = slots.data();
  }
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;

  uint32_t find(const Key& k, uint64_t pos) { return index_find_or_file(ix, k.data(), pos); }
  bool holds(uint32_t s, const Key& k, uint64_t pos) const {
    return slots[s].pos_tag >= 2 && filed_same(slots[s].key, k.data()) && index_entry_position(ix, slots[s]) == pos;
  }
};

// ---------------------------------------------------------------------------
// Directed cases
// ---------------------------------------------------------------------------

TEST(ExactIndex, ExpiresAWindowBackMeasuredAtTheLookup) {
  Table t(64, 1000);
  const Key a = make_key(10, 1), other = make_key(10, 2);
  const uint32_t home = 10;
  EXPECT_EQ(t.find(a, 5000), INDEX_MISS);
  EXPECT_EQ(t.find(a, 5999), 999u);  // W - 1: a hit, and the entry moves to 5999
  EXPECT_TRUE(t.holds(home, a, 5999));
  EXPECT_EQ(t.find(other, 6500), INDEX_MISS);
  EXPECT_EQ(t.find(a, 6998), 999u);
  // W exactly: expired.  The key is filed anew at home; its old entry, the
  // last expired one of the run, moves to the empty slot past the run, and
  // does so again at the next insertion.
  EXPECT_EQ(t.find(a, 7998), INDEX_MISS);
  EXPECT_TRUE(t.holds(home, a, 7998));
  EXPECT_TRUE(t.holds(home + 1, other, 6500));
  EXPECT_TRUE(t.holds(home + 2, a, 6998));
  const Key b = make_key(10, 3);
  EXPECT_EQ(t.find(b, 8000), INDEX_MISS);
  EXPECT_TRUE(t.holds(home, b, 8000));
  EXPECT_TRUE(t.holds(home + 1, a, 7998));
  EXPECT_TRUE(t.holds(home + 2, other, 6500));
  EXPECT_TRUE(t.holds(home + 3, a, 6998));  // moved from the run's end to the empty slot after it
  EXPECT_EQ(t.slots[home + 4].pos_tag, SLOT_EMPTY);

  // No window: nothing is ever a hit.
  Table z(64, 0);
  EXPECT_EQ(z.find(a, 1), INDEX_MISS);
  EXPECT_EQ(z.find(a, 2), INDEX_MISS);
}

// The hazard the sweep guarded against: 32-bit positions that count modulo
// POS_LIMIT see a chunk POS_LIMIT + d back as d back.
TEST(ExactIndex, SourceFourGiBBackIsNotAHit) {
  const uint32_t w = 1u << 20;
  Table t(64, w);
  const Key a = make_key(3, 1), b = make_key(4, 2), c = make_key(5, 3);
  t.find(a, 100);
  t.find(b, 200);
  t.find(c, 300);
  // Modulo POS_LIMIT these lie 5, 65543 and W - 1 bytes back.
  EXPECT_EQ(t.find(a, 100 + uint64_t{POS_LIMIT} + 5), INDEX_MISS);
  EXPECT_EQ(t.find(b, 200 + (uint64_t{1} << 32) + 7), INDEX_MISS);
  const uint64_t at = 300 + uint64_t{POS_LIMIT} + w - 1;
  EXPECT_EQ(t.find(c, at), INDEX_MISS);
  // Filed anew, and within reach from there.
  EXPECT_EQ(t.find(c, at + w - 1), w - 1);
}

// ---------------------------------------------------------------------------
// Against a model with plain 64-bit positions
// ---------------------------------------------------------------------------

// The model's slots hold full keys and, in pos_tag, 2 + the number of a
// position in `positions`, so that they go through the same record-by-record
// insertion as mode u's model.
struct Model {
  std::vector<IndexSlot> slots;
  std::vector<uint64_t> positions;
  ChunkIndex ix{};

  Model(uint32_t n, uint32_t window) : slots(n) {
    index_set_tblsize(ix, n);
    ix.cfg_decwinsize = window;
    ix.htbl = slots.data();
  }
  uint64_t position_of(const IndexSlot& s) const { return positions[s.pos_tag - 2]; }
  uint32_t tag_for(uint64_t pos) {
    positions.push_back(pos);
    return static_cast<uint32_t>(positions.size() - 1 + 2);
  }
  bool expired(const IndexSlot& s, uint64_t now) const { return now - position_of(s) >= ix.cfg_decwinsize; }

  uint32_t find_or_file(const uint8_t* key, uint64_t pos) {
    const uint32_t n = ix.cfg_tblsize;
    const uint32_t h = (uint32_t(key[0]) | uint32_t(key[1]) << 8 | uint32_t(key[2]) << 16 | uint32_t(key[3]) << 24) % n;
    for (uint32_t i = 0; i < PROBE_WINDOW; ++i) {
      IndexSlot& s = slots[(h + i) % n];
      if (s.pos_tag == SLOT_EMPTY) break;
      if (expired(s, pos) || !filed_same(s.key, key)) continue;
      const uint64_t distance = pos - position_of(s);
      s.pos_tag = tag_for(pos);
      return static_cast<uint32_t>(distance);
    }
    IndexSlot fresh{};
    std::memcpy(fresh.key, key, 16);
    fresh.pos_tag = tag_for(pos);
    test::model_insert(ix, h, fresh, [&](const IndexSlot& s) { return expired(s, pos); });
    return INDEX_MISS;
  }
};

::testing::AssertionResult same_tables(const Table& impl, const Model& model, uint64_t now) {
  for (size_t s = 0; s < impl.slots.size(); ++s) {
    const IndexSlot &a = impl.slots[s], &b = model.slots[s];
    if ((a.pos_tag == SLOT_EMPTY) != (b.pos_tag == SLOT_EMPTY))
      return ::testing::AssertionFailure() << "slot " << s << " empty in one table only";
    if (a.pos_tag == SLOT_EMPTY) continue;
    if (!filed_same(a.key, b.key)) return ::testing::AssertionFailure() << "slot " << s << " holds another key";
    const bool a_expired = a.pos_tag == SLOT_EXPIRED || now - index_entry_position(impl.ix, a) >= impl.ix.cfg_decwinsize;
    if (a_expired != model.expired(b, now))
      return ::testing::AssertionFailure() << "slot " << s << " expired in one table only";
    if (!a_expired && index_entry_position(impl.ix, a) != model.position_of(b))
      return ::testing::AssertionFailure() << "slot " << s << " at " << index_entry_position(impl.ix, a) << ", want "
                                           << model.position_of(b);
  }
  return ::testing::AssertionSuccess();
}

TEST(ExactIndex, MatchesPlainPositionModelOnRandomSequences) {
  struct Case {
    uint32_t n, window;
    uint64_t span;
  };
  const Case cases[] = {
      {33, 5000, REBASE_SPAN}, {61, 5000, 7000},      {257, 5000, 1},         {40, 0, 3000},
      {61, 1u << 20, 4096},    {257, 1u << 20, REBASE_SPAN}, {61, 0xFFF00000u, REBASE_SPAN}, {40, 300, 301},
  };
  for (const Case& cs : cases) {
    SCOPED_TRACE(::testing::Message() << "n " << cs.n << " window " << cs.window << " span " << cs.span);
    std::mt19937_64 rng(cs.n * 31 + cs.window);
    // Few homes, among them the last slots; leads that share a home and
    // differ in one byte of 1..3 only (where n allows).
    std::vector<uint32_t> leads = {cs.n - 1, cs.n - 5, cs.n - 31, 0, 3, cs.n + 3, 2 * cs.n - 1, cs.n / 2};
    for (int shift : {8, 16, 24})
      if (cs.n < 256) leads.push_back(3 + (cs.n << shift));
    std::vector<Key> pool;
    for (int i = 0; i < 120; ++i) {
      Key k = make_key(leads[rng() % leads.size()], 0);
      for (int b = 4; b < 16; ++b) k[b] = static_cast<uint8_t>(rng() % 2);
      k[4] = static_cast<uint8_t>(rng());  // ignored: position bits in a slot
      k[5] = static_cast<uint8_t>(rng());
      pool.push_back(k);
    }
    Table impl(cs.n, cs.window);
    index_set_rebase_span(impl.ix, cs.span);
    Model model(cs.n, cs.window);
    // Positions start near the top of the 47-bit span now and then, and step
    // mostly less than the window, sometimes by far more.
    uint64_t pos = rng() % 2 ? REBASE_SPAN - 200000 : 0;
    for (int op = 0; op < 20000; ++op) {
      const uint32_t r = rng() % 1000;
      const uint64_t w = cs.window;
      pos += r < 5 ? (uint64_t{1} << (33 + rng() % 20)) + rng() % 1000 : 1 + rng() % (w / 8 + 64);
      const Key& k = pool[rng() % pool.size()];
      const uint32_t got = impl.find(k, pos);
      const uint32_t want = model.find_or_file(k.data(), pos);
      ASSERT_EQ(got, want) << "op " << op << " at " << pos;
      ASSERT_TRUE(same_tables(impl, model, pos)) << "op " << op << " at " << pos;
    }
  }
}

}  // namespace
}  // namespace cdedup
