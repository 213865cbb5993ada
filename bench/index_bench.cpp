// Chunk index lookups on a default-size table (256 MiB) with random keys:
// almost every probe misses the caches, which is what batching and
// prefetching in the encoder are for.  Mode u's lookup alone, then each
// mode's whole per-chunk index work: mode u's lookup and sweep (which mode e
// ran too until its positions became exact) against mode e's lookup.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "dedup/chunk_index.h"
#include "dedup/exact_index.h"
#include "platform/large_block.h"

namespace {

using namespace cdedup;

struct Table {
  ChunkIndex ix{};
  Table() {
    ix.encmem_bytes = 256u << 20;
    ix.cfg_decwinsize = 1u << 30;
    index_set_tblsize(ix, ix.encmem_bytes / INDEX_SLOT_BYTES);
    ix.htbl = static_cast<IndexSlot*>(large_block_alloc(size_t{ix.cfg_tblsize} * INDEX_SLOT_BYTES));
  }
  ~Table() { large_block_free(ix.htbl, size_t{ix.cfg_tblsize} * INDEX_SLOT_BYTES); }
};

std::vector<ChunkKey> random_keys(size_t n) {
  std::vector<ChunkKey> keys(n);
  std::mt19937_64 rng(3);
  for (auto& k : keys)
    for (auto& b : k.bytes) b = static_cast<uint8_t>(rng());
  return keys;
}

void BM_IndexFindOrInsert(benchmark::State& state) {
  Table t;
  const auto keys = random_keys(1 << 20);
  const bool prefetch = state.range(0) != 0;
  uint32_t pos = 0;
  for (auto _ : state) {
    uint32_t hits = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
      if (prefetch && i + 8 < keys.size()) __builtin_prefetch(t.ix.htbl + index_home(t.ix, keys[i + 8].bytes));
      hits += index_find_or_insert(t.ix, keys[i].bytes, pos);
      pos = pos_advance(pos, 164);
    }
    benchmark::DoNotOptimize(hits);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(keys.size()));
}
BENCHMARK(BM_IndexFindOrInsert)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Per chunk of 164 bytes, prefetched 8 keys ahead; the table fills over the
// iterations as it does over a stream.  Arg: window MiB.
void BM_IndexModeU(benchmark::State& state) {
  Table t;
  t.ix.cfg_decwinsize = static_cast<uint32_t>(state.range(0)) << 20;
  const auto keys = random_keys(1 << 20);
  uint32_t pos = 0;
  for (auto _ : state) {
    uint32_t hits = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
      if (i + 8 < keys.size()) __builtin_prefetch(t.ix.htbl + index_home(t.ix, keys[i + 8].bytes));
      hits += index_find_or_insert(t.ix, keys[i].bytes, pos);
      pos = pos_advance(pos, 164);
      index_sweep(t.ix, pos, 164);
    }
    benchmark::DoNotOptimize(hits);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(keys.size()));
}
BENCHMARK(BM_IndexModeU)->Arg(1024)->Arg(4000)->Unit(benchmark::kMillisecond);

void BM_IndexModeE(benchmark::State& state) {
  Table t;
  t.ix.cfg_decwinsize = static_cast<uint32_t>(state.range(0)) << 20;
  const auto keys = random_keys(1 << 20);
  uint64_t pos = 0;
  for (auto _ : state) {
    uint32_t hits = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
      if (i + 8 < keys.size()) __builtin_prefetch(t.ix.htbl + index_home(t.ix, keys[i + 8].bytes));
      hits += index_find_or_file(t.ix, keys[i].bytes, pos) != INDEX_MISS;
      pos += 164;
    }
    benchmark::DoNotOptimize(hits);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(keys.size()));
}
BENCHMARK(BM_IndexModeE)->Arg(1024)->Arg(4095)->Unit(benchmark::kMillisecond);

}  // namespace
