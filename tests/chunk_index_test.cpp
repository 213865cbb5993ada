// Chunk index: position arithmetic, table sizing, mode u's lookup and the
// move-to-front insertion both modes share, on small tables, the expiry sweep
// and clearing.  Insertion is also compared, on random operation sequences,
// with a plain record-by-record model of gather, victim choice, slot rotation
// and write-back (index_model.h, which mode e's tests use too).
#include "dedup/chunk_index.h"

#include <gtest/gtest.h>

#include "support/index_model.h"

#include <array>
#include <cstring>
#include <random>
#include <vector>

namespace cdedup {
namespace {

using Key = std::array<uint8_t, 16>;

constexpr uint32_t tag_of(uint32_t pos) { return pos + 2; }

// lead sets bytes 0..3 and so the home slot; id tells keys of one home apart.
Key make_key(uint32_t lead, uint32_t id, uint16_t len = 164) {
  Key k{};
  for (int i = 0; i < 4; ++i) {
    k[i] = static_cast<uint8_t>(lead >> (8 * i));
    k[4 + i] = static_cast<uint8_t>(id >> (8 * i));
  }
  k[13] = 0x5A;
  k[14] = static_cast<uint8_t>(len);
  k[15] = static_cast<uint8_t>(len >> 8);
  return k;
}

struct Table {
  std::vector<IndexSlot> slots;
  ChunkIndex ix{};

  explicit Table(uint32_t n, uint32_t window = 0x40000000u) : slots(n) {
    index_set_tblsize(ix, n);
    ix.encmem_bytes = n * INDEX_SLOT_BYTES;
    ix.cfg_decwinsize = window;
    ix.htbl = slots.data();
  }
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;

  uint32_t find(const Key& k, uint32_t pos = INDEX_LOOKUP_ONLY) { return index_find_or_insert(ix, k.data(), pos); }
  void put(uint32_t s, const Key& k, uint32_t tag) {
    slots[s].pos_tag = tag;
    std::memcpy(slots[s].key, k.data(), 16);
  }
  ::testing::AssertionResult holds(uint32_t s, const Key& k, uint32_t tag) const {
    if (slots[s].pos_tag != tag) return ::testing::AssertionFailure() << "slot " << s << " tag " << slots[s].pos_tag << " want " << tag;
    if (std::memcmp(slots[s].key, k.data(), 16) != 0) return ::testing::AssertionFailure() << "slot " << s << " holds another key";
    return ::testing::AssertionSuccess();
  }
  bool empty(uint32_t s) const { return slots[s].pos_tag == SLOT_EMPTY; }
  bool same_as(const std::vector<IndexSlot>& other) const {
    return std::memcmp(slots.data(), other.data(), slots.size() * sizeof(IndexSlot)) == 0;
  }
  bool contains_key(const Key& k) const {
    for (const IndexSlot& s : slots)
      if (s.pos_tag != SLOT_EMPTY && std::memcmp(s.key, k.data(), 16) == 0) return true;
    return false;
  }
};

// ---------------------------------------------------------------------------
// Positions and sizes

TEST(StreamPosition, AdvanceAndDistanceAcrossTheTop) {
  EXPECT_EQ(pos_advance(0xFFFEFFF0u, 0x20), 0x10u);
  EXPECT_EQ(pos_distance(0xFFFEFFF0u, 0x10u), 0x20u);
  EXPECT_EQ(pos_distance(0x10u, 0xFFFEFFF0u), POS_LIMIT - 0x20u);
  EXPECT_EQ(pos_advance(POS_LIMIT - 1, 1), 0u);
  for (uint32_t p : {0u, 1u, 0x7FFFFFFFu, POS_LIMIT - 1}) EXPECT_EQ(pos_distance(p, p), 0xFFFF0000u) << p;

  // Against 64-bit arithmetic modulo POS_LIMIT.
  std::mt19937 rng(7);
  for (int i = 0; i < 100000; ++i) {
    const uint32_t p = i < 50000 ? rng() % POS_LIMIT : POS_LIMIT - 1 - rng() % 70000;
    const uint32_t n = 1 + rng() % 65535;
    const uint32_t q = pos_advance(p, n);
    ASSERT_EQ(q, (uint64_t{p} + n) % POS_LIMIT) << p << " + " << n;
    ASSERT_EQ(pos_distance(p, q), n) << p << " + " << n;
  }
}

TEST(IndexSizing, SlotsAndSweepVisitsForDefaults) {
  EXPECT_EQ(index_tblsize(256u << 20), 13421772u);
  EXPECT_EQ(index_tblsize(1u << 20), 52428u);

  ChunkIndex ix{};
  index_set_tblsize(ix, 13421772);
  ix.cfg_decwinsize = 0x40000000u;
  EXPECT_EQ(index_sweep_visits(ix, 164), 1u);
  EXPECT_EQ(index_sweep_visits(ix, 240), 2u);
  EXPECT_EQ(index_sweep_visits(ix, 1000), 5u);
  EXPECT_EQ(index_sweep_visits(ix, 65535), 274u);  // N * L exceeds 32 bits
}

// The home slot is taken without a division; it must be the remainder for
// every table size encmem allows and every value of the key's first word.
TEST(IndexSizing, HomeSlotIsTheRemainder) {
  std::mt19937 rng(3);
  std::vector<uint32_t> sizes = {33, 52428, 13421772, index_tblsize(4095u << 20), 65536, 0xFFFFFFFFu};
  for (int i = 0; i < 50; ++i) sizes.push_back(33 + rng() % 0x7FFFFFFFu);
  std::vector<uint32_t> words = {0, 1, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
  for (int i = 0; i < 200; ++i) words.push_back(static_cast<uint32_t>(rng()));
  for (uint32_t n : sizes) {
    ChunkIndex ix{};
    index_set_tblsize(ix, n);
    for (uint32_t w : {n - 1, n, n + 1, 2 * n - 1}) words.push_back(w);
    for (uint32_t w : words) {
      const uint8_t key[16] = {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
      ASSERT_EQ(index_home(ix, key), w % n) << w << " mod " << n;
    }
    words.resize(words.size() - 4);
  }
}

// ---------------------------------------------------------------------------
// Lookup

TEST(IndexLookup, EmptyTableStoresAtHomeAndFindsIt) {
  Table t(37);
  const Key k = make_key(40, 1);  // home 3
  EXPECT_EQ(t.find(k, 1234), 0u);
  EXPECT_TRUE(t.holds(3, k, tag_of(1234)));
  for (uint32_t s = 0; s < 37; ++s) {
    EXPECT_EQ(t.empty(s), s != 3) << s;
  }
  EXPECT_EQ(t.find(k), 1u);
  EXPECT_EQ(t.ix.found_pos, 1234u);

  // The ends of the position range still make live tags.
  const Key lo = make_key(41, 2), hi = make_key(42, 3);
  t.find(lo, 0);
  t.find(hi, POS_LIMIT - 1);
  ASSERT_EQ(t.find(lo), 1u);
  EXPECT_EQ(t.ix.found_pos, 0u);
  ASSERT_EQ(t.find(hi), 1u);
  EXPECT_EQ(t.ix.found_pos, POS_LIMIT - 1);
}

TEST(IndexLookup, HitAndLookupOnlyMissLeaveTableUnchanged) {
  Table t(50);
  for (uint32_t i = 0; i < 10; ++i) t.find(make_key(10, i), 100 + i);
  t.slots[14].pos_tag = SLOT_EXPIRED;
  const std::vector<IndexSlot> before = t.slots;

  // make_key(10, 3) has been shifted to offset 6 by the later insertions.
  EXPECT_EQ(t.find(make_key(10, 3), 999), 1u);
  EXPECT_EQ(t.ix.found_pos, 103u);
  EXPECT_EQ(t.find(make_key(10, 0)), 1u);
  EXPECT_EQ(t.ix.found_pos, 100u);
  EXPECT_TRUE(t.same_as(before));

  EXPECT_EQ(t.find(make_key(10, 77)), 0u);
  EXPECT_EQ(t.find(make_key(10, 5)), 0u);  // its only copy, at slot 14, is expired
  EXPECT_TRUE(t.same_as(before));

  // A full window, and one more occupied slot behind it.
  Table full(60);
  for (uint32_t i = 0; i < 33; ++i) full.put(20 + i, make_key(20, i), tag_of(i));
  const std::vector<IndexSlot> before_full = full.slots;
  EXPECT_EQ(full.find(make_key(20, 32)), 0u);  // lies at offset 32, outside the window
  EXPECT_EQ(full.find(make_key(20, 31)), 1u);
  EXPECT_TRUE(full.same_as(before_full));
}

TEST(IndexLookup, KeysDifferingInOneFieldAreDifferent) {
  Table t(37);
  const Key base = make_key(5, 7);
  std::vector<Key> variants;
  for (int byte : {14, 15, 13, 4, 5, 6, 7, 8, 9, 10, 11, 12}) {
    Key v = base;
    v[byte] ^= 0x01;
    variants.push_back(v);
  }
  variants.push_back(make_key(5 + 37, 7));  // byte 0 differs, home is the same
  ASSERT_EQ(index_home(t.ix, variants.back().data()), index_home(t.ix, base.data()));

  ASSERT_EQ(t.find(base, 1000), 0u);
  for (const Key& v : variants) EXPECT_EQ(t.find(v), 0u);
  for (size_t i = 0; i < variants.size(); ++i) EXPECT_EQ(t.find(variants[i], 2000 + i), 0u) << i;
  EXPECT_EQ(t.find(base), 1u);
  EXPECT_EQ(t.ix.found_pos, 1000u);
  for (size_t i = 0; i < variants.size(); ++i) {
    ASSERT_EQ(t.find(variants[i]), 1u) << i;
    EXPECT_EQ(t.ix.found_pos, 2000 + i) << i;
  }
}

TEST(IndexLookup, ExpiredAndEmptySlotsInTheWindow) {
  Table t(50);
  const Key x = make_key(10, 1);
  // Expired slots are passed over, even one that holds the key itself.
  t.put(10, x, SLOT_EXPIRED);
  t.put(11, make_key(10, 2), SLOT_EXPIRED);
  t.put(12, x, tag_of(5));
  EXPECT_EQ(t.find(x), 1u);
  EXPECT_EQ(t.ix.found_pos, 5u);

  // An empty slot ends the search before the key.
  Table u(50);
  const Key other = make_key(10, 2);
  u.put(10, other, tag_of(1));
  u.put(12, x, tag_of(5));
  EXPECT_EQ(u.find(x), 0u);
  EXPECT_EQ(u.find(x, 77), 0u);
  EXPECT_TRUE(u.holds(10, x, tag_of(77)));
  EXPECT_TRUE(u.holds(11, other, tag_of(1)));
  EXPECT_TRUE(u.holds(12, x, tag_of(5)));
  EXPECT_EQ(u.find(x), 1u);
  EXPECT_EQ(u.ix.found_pos, 77u);
}

// ---------------------------------------------------------------------------
// Insertion

TEST(IndexInsert, ShortRunShiftsByOne) {
  Table t(50);
  for (uint32_t i = 0; i < 5; ++i) t.put(10 + i, make_key(10, i), tag_of(100 + i));
  const Key behind = make_key(3, 99);
  t.put(16, behind, tag_of(9));  // past the empty slot 15
  const Key k = make_key(10, 50);
  EXPECT_EQ(t.find(k, 500), 0u);
  EXPECT_TRUE(t.holds(10, k, tag_of(500)));
  for (uint32_t i = 0; i < 5; ++i) EXPECT_TRUE(t.holds(11 + i, make_key(10, i), tag_of(100 + i)));
  EXPECT_TRUE(t.holds(16, behind, tag_of(9)));
  for (uint32_t s = 0; s < 50; ++s) {
    EXPECT_EQ(t.empty(s), s < 10 || s > 16) << s;
  }
}

TEST(IndexInsert, FullWindowDropsOffset31) {
  Table t(50);
  for (uint32_t i = 0; i < 32; ++i) t.put(10 + i, make_key(10, i), tag_of(i));
  const Key behind = make_key(42, 99);
  t.put(42, behind, tag_of(99));
  const Key k = make_key(10, 50);
  EXPECT_EQ(t.find(k, 500), 0u);
  EXPECT_TRUE(t.holds(10, k, tag_of(500)));
  for (uint32_t i = 0; i < 31; ++i) EXPECT_TRUE(t.holds(11 + i, make_key(10, i), tag_of(i)));
  EXPECT_TRUE(t.holds(42, behind, tag_of(99)));
  EXPECT_FALSE(t.contains_key(make_key(10, 31)));
}

TEST(IndexInsert, LastExpiredEntryIsTheVictim) {
  // Run of 6, expired at offsets 1 and 3: offset 3 leaves to the empty slot.
  Table t(50);
  for (uint32_t i = 0; i < 6; ++i) t.put(10 + i, make_key(10, i), i == 1 || i == 3 ? SLOT_EXPIRED : tag_of(i));
  const Key k = make_key(10, 50);
  EXPECT_EQ(t.find(k, 500), 0u);
  EXPECT_TRUE(t.holds(10, k, tag_of(500)));
  EXPECT_TRUE(t.holds(11, make_key(10, 0), tag_of(0)));
  EXPECT_TRUE(t.holds(12, make_key(10, 1), SLOT_EXPIRED));
  EXPECT_TRUE(t.holds(13, make_key(10, 2), tag_of(2)));
  EXPECT_TRUE(t.holds(14, make_key(10, 4), tag_of(4)));
  EXPECT_TRUE(t.holds(15, make_key(10, 5), tag_of(5)));
  EXPECT_TRUE(t.holds(16, make_key(10, 3), SLOT_EXPIRED));
  EXPECT_TRUE(t.empty(17));

  // Full window, expired at offsets 10 and 20: offset 20 is dropped.
  Table f(50);
  for (uint32_t i = 0; i < 32; ++i) f.put(5 + i, make_key(5, i), i == 10 || i == 20 ? SLOT_EXPIRED : tag_of(i));
  const Key k5 = make_key(5, 50);
  EXPECT_EQ(f.find(k5, 500), 0u);
  EXPECT_TRUE(f.holds(5, k5, tag_of(500)));
  for (uint32_t i = 0; i < 20; ++i) EXPECT_TRUE(f.holds(6 + i, make_key(5, i), i == 10 ? SLOT_EXPIRED : tag_of(i)));
  for (uint32_t i = 21; i < 32; ++i) EXPECT_TRUE(f.holds(5 + i, make_key(5, i), tag_of(i)));
  EXPECT_FALSE(f.contains_key(make_key(5, 20)));
  EXPECT_TRUE(f.empty(37));
}

TEST(IndexInsert, ExpiredEqualKeyIsInsertedAnew) {
  Table t(50);
  const Key x = make_key(10, 1);
  t.put(10, x, SLOT_EXPIRED);
  EXPECT_EQ(t.find(x, 300), 0u);
  EXPECT_TRUE(t.holds(10, x, tag_of(300)));
  EXPECT_TRUE(t.holds(11, x, SLOT_EXPIRED));
}

TEST(IndexInsert, WindowWrapsPastTheLastSlot) {
  Table t(40);
  const uint32_t run[] = {35, 36, 37, 38, 39, 0, 1, 2};
  for (uint32_t i = 0; i < 8; ++i) t.put(run[i], make_key(35, i), tag_of(i));
  EXPECT_EQ(t.find(make_key(35, 7)), 1u);  // found at slot 2
  EXPECT_EQ(t.ix.found_pos, 7u);

  const Key k = make_key(75, 50);  // home 35 as well
  EXPECT_EQ(t.find(k, 500), 0u);
  EXPECT_TRUE(t.holds(35, k, tag_of(500)));
  for (uint32_t i = 0; i < 8; ++i) EXPECT_TRUE(t.holds((run[i] + 1) % 40, make_key(35, i), tag_of(i))) << i;

  // Filling the wrapped window by insertions alone: the first key ends at
  // slot 26 (offset 31) and the next insertion drops it; slot 27 stays empty.
  Table f(40);
  for (uint32_t i = 0; i < 32; ++i) f.find(make_key(35, i), i);
  EXPECT_TRUE(f.holds(26, make_key(35, 0), tag_of(0)));
  EXPECT_EQ(f.find(make_key(35, 40), 40), 0u);
  EXPECT_FALSE(f.contains_key(make_key(35, 0)));
  EXPECT_TRUE(f.holds(26, make_key(35, 1), tag_of(1)));
  EXPECT_TRUE(f.empty(27));
}

TEST(IndexInsert, EntryShiftedOutOfItsWindowIsLost) {
  Table t(100);
  const Key a = make_key(10, 0);
  t.find(a, 1);
  for (uint32_t i = 1; i < 32; ++i) t.find(make_key(10, i), 1 + i);
  ASSERT_TRUE(t.holds(41, a, tag_of(1)));  // last slot of its window
  ASSERT_EQ(t.find(a), 1u);

  // A key homed one slot later moves a one slot on, out of its window.
  EXPECT_EQ(t.find(make_key(11, 99), 50), 0u);
  EXPECT_TRUE(t.holds(42, a, tag_of(1)));
  EXPECT_TRUE(t.holds(10, make_key(10, 31), tag_of(32)));
  EXPECT_EQ(t.find(a), 0u);
}

// ---------------------------------------------------------------------------
// Insertion against a record-by-record model

uint32_t model_find_or_insert(ChunkIndex& ix, const uint8_t* key, uint32_t position) {
  const uint32_t n = ix.cfg_tblsize;
  const uint32_t h = (uint32_t(key[0]) | uint32_t(key[1]) << 8 | uint32_t(key[2]) << 16 | uint32_t(key[3]) << 24) % n;
  for (uint32_t i = 0; i < PROBE_WINDOW; ++i) {
    IndexSlot& s = ix.htbl[(h + i) % n];
    if (s.pos_tag == SLOT_EMPTY) break;
    if (s.pos_tag == SLOT_EXPIRED) continue;
    if (std::memcmp(s.key, key, 16) == 0) {
      ix.found_pos = s.pos_tag - 2;
      return 1;
    }
  }
  if (position == INDEX_LOOKUP_ONLY) return 0;
  IndexSlot fresh{};
  fresh.pos_tag = position + 2;
  std::memcpy(fresh.key, key, 16);
  test::model_insert(ix, h, fresh, [](const IndexSlot& s) { return s.pos_tag == SLOT_EXPIRED; });
  return 0;
}

TEST(IndexInsert, MatchesRecordModelOnRandomSequences) {
  for (uint32_t n : {33u, 40u, 61u, 257u}) {
    std::mt19937 rng(n);
    // Few homes, among them the last slots, and keys that share many bytes.
    const uint32_t leads[] = {n - 1, n - 5, n - 31, 0, 3, n + 3, 2 * n - 1, n / 2};
    std::vector<Key> pool;
    for (int i = 0; i < 120; ++i) {
      Key k = make_key(leads[rng() % 8], 0);
      for (int b = 4; b < 16; ++b) k[b] = static_cast<uint8_t>(rng() % 2);
      pool.push_back(k);
    }
    Table impl(n), model(n);
    for (int op = 0; op < 20000; ++op) {
      const uint32_t r = rng() % 100;
      if (r < 8) {
        const uint32_t s = rng() % n;
        if (impl.slots[s].pos_tag >= 2) impl.slots[s].pos_tag = model.slots[s].pos_tag = SLOT_EXPIRED;
        continue;
      }
      const Key& k = pool[rng() % pool.size()];
      const uint32_t pos = r < 15 ? INDEX_LOOKUP_ONLY : rng() % POS_LIMIT;
      const uint32_t got = index_find_or_insert(impl.ix, k.data(), pos);
      const uint32_t want = model_find_or_insert(model.ix, k.data(), pos);
      ASSERT_EQ(got, want) << "n " << n << " op " << op;
      if (want == 1) {
        ASSERT_EQ(impl.ix.found_pos, model.ix.found_pos) << "n " << n << " op " << op;
      }
      ASSERT_TRUE(impl.same_as(model.slots)) << "n " << n << " op " << op;
    }
  }
}

// ---------------------------------------------------------------------------
// Sweep and clear

TEST(IndexSweep, ZeroWindowExpiresEveryLiveSlotItVisits) {
  Table t(40, 0);
  for (uint32_t s = 0; s < 10; ++s) t.put(s, make_key(s, s), tag_of(s * 1000));
  t.put(12, make_key(12, 12), SLOT_EXPIRED);
  t.put(3, make_key(3, 3), tag_of(5000));  // the sweep's own position: a whole cycle back
  for (int i = 0; i < 5; ++i) index_sweep(t.ix, 5000, 64);
  EXPECT_EQ(t.ix.sweep_cursor, 5u);
  for (uint32_t s = 0; s < 10; ++s) EXPECT_EQ(t.slots[s].pos_tag, s < 5 ? SLOT_EXPIRED : tag_of(s * 1000)) << s;

  for (int i = 0; i < 35; ++i) index_sweep(t.ix, 5000, 64);
  EXPECT_EQ(t.ix.sweep_cursor, 0u);
  for (uint32_t s = 0; s < 10; ++s) EXPECT_TRUE(t.holds(s, make_key(s, s), SLOT_EXPIRED)) << s;
  EXPECT_TRUE(t.holds(12, make_key(12, 12), SLOT_EXPIRED));
  for (uint32_t s = 13; s < 40; ++s) EXPECT_TRUE(t.empty(s)) << s;
}

TEST(IndexSweep, VisitsSeveralSlotsAndWrapsTheCursor) {
  // 64 * 2048 / (POS_LIMIT - W) = 2, so three visits.
  Table t(64, 0xFFFE0000u);
  ASSERT_EQ(index_sweep_visits(t.ix, 2048), 3u);
  for (uint32_t s : {61u, 62u, 63u, 0u, 1u}) t.put(s, make_key(s, 0), tag_of(0));
  t.ix.sweep_cursor = 62;
  index_sweep(t.ix, 0xFFFE0005u, 2048);
  EXPECT_EQ(t.ix.sweep_cursor, 1u);
  EXPECT_EQ(t.slots[61].pos_tag, tag_of(0));
  EXPECT_EQ(t.slots[62].pos_tag, SLOT_EXPIRED);
  EXPECT_EQ(t.slots[63].pos_tag, SLOT_EXPIRED);
  EXPECT_EQ(t.slots[0].pos_tag, SLOT_EXPIRED);
  EXPECT_EQ(t.slots[1].pos_tag, tag_of(0));
}

TEST(IndexSweep, ExpiresFromAWindowBackAcrossThePositionWrap) {
  const auto expires = [](uint32_t entry_pos, uint32_t now, uint32_t window) {
    Table t(40, window);
    t.put(0, make_key(0, 0), tag_of(entry_pos));
    index_sweep(t.ix, now, 64);
    return t.slots[0].pos_tag == SLOT_EXPIRED;
  };
  EXPECT_TRUE(expires(0xFFFEFFF0u, 0x10, 0x20));
  EXPECT_FALSE(expires(0xFFFEFFF0u, 0x10, 0x21));
  EXPECT_TRUE(expires(100, 100 + 0x100000, 0x100000));
  EXPECT_FALSE(expires(100, 100 + 0xFFFFF, 0x100000));
  EXPECT_TRUE(expires(0x10, 0xFFFEFFF0u, 0xFFF00000u));
  EXPECT_TRUE(expires(5, 5, 0xFFF00000u));  // same position: a whole cycle
}

TEST(IndexClear, ZeroesTheReservedBytesAndRestartsPositions) {
  const uint32_t bytes = 1u << 20;
  std::vector<IndexSlot> mem(bytes / INDEX_SLOT_BYTES + 1);
  std::memset(static_cast<void*>(mem.data()), 0xAB, mem.size() * sizeof(IndexSlot));
  ChunkIndex ix{};
  ix.encmem_bytes = bytes;
  index_set_tblsize(ix, 99);
  ix.sweep_cursor = 17;
  ix.pos_base = 5;
  ix.rebase_at = 7;
  ix.htbl = mem.data();
  index_clear(ix);
  EXPECT_EQ(ix.cfg_tblsize, 52428u);
  EXPECT_EQ(ix.sweep_cursor, 0u);
  EXPECT_EQ(ix.pos_base, 0u);
  EXPECT_EQ(ix.rebase_at, REBASE_SPAN);
  const auto* raw = reinterpret_cast<const uint8_t*>(mem.data());
  const size_t total = mem.size() * sizeof(IndexSlot);
  size_t nonzero = 0, untouched = 0;
  for (size_t i = 0; i < bytes; ++i) nonzero += raw[i] != 0;
  for (size_t i = bytes; i < total; ++i) untouched += raw[i] == 0xAB;
  EXPECT_EQ(nonzero, 0u);
  EXPECT_EQ(untouched, total - bytes);

  // A cleared table behaves as new.
  const Key k = make_key(7, 7);
  EXPECT_EQ(index_find_or_insert(ix, k.data(), 3), 0u);
  EXPECT_EQ(index_find_or_insert(ix, k.data(), INDEX_LOOKUP_ONLY), 1u);
  EXPECT_EQ(ix.found_pos, 3u);
}

}  // namespace
}  // namespace cdedup
